#pragma once
// The quick reference window: one of the two user documents built into the program (the expression
// language of the alarm conditions, the ratings script's interface), read-only, modal, printable.
#include <QDialog>

class QPrinter;
class QPushButton;
class QTextBrowser;

namespace ostrel::vessolt {

class TWin_QuickReference : public QDialog {
    Q_OBJECT
public:
    // The documents' resource names.
    static constexpr const char* kExpressions = "EXPRESSIONSQUICKREF";
    static constexpr const char* kPython = "PYTHONQUICKREF";
    static constexpr const char* kJobTitle = "Quick Reference";

    explicit TWin_QuickReference(QWidget* parent = nullptr);

    // Shows the named document (it replaces what was shown) over `caller`, modally. False, and nothing
    // shown, when the program holds no document of that name.
    bool ShowResource(const char* resource, QWidget* caller);
    // Loads the document without showing the window; false for an unknown name.
    bool LoadResource(const char* resource);
    // Prints the document shown: margins of one inch, one and a half at the top.
    void PrintTo(QPrinter& printer);

    [[nodiscard]] QTextBrowser* textArea() const { return textarea_; }

private:
    void placeOver(QWidget* caller);
    void printClick();

    QTextBrowser* textarea_ = nullptr;
    QPushButton* close_ = nullptr;
    QPushButton* print_ = nullptr;
};

} // namespace ostrel::vessolt
