// The quick reference window: its two documents, where it opens over its caller, and its printout.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QPageLayout>
#include <QPrinter>
#include <QScreen>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextLayout>
#include <QTimer>
#include <set>
#include <string>

#include "services/device_summary.h"
#include "expressions/expressions.h"
#include "win_quick_reference.h"

#include "../core/temp_folder.h"

using namespace ostrel::vessolt;

namespace {

bool accepted(const TExpressions& e, const std::string& text, std::string* error = nullptr) {
    TypedValue value;
    char buffer[256] = {};
    const bool ok = e.Evaluate(text.c_str(), nullptr, &value, buffer, sizeof buffer);
    if (error)
        *error = buffer;
    return ok;
}

// The operators and parentheses the evaluator knows, found by asking it: a character it does not
// report as unknown, and a pair that works joined but not apart.
std::set<std::string> evaluatorOperators() {
    const TExpressions e;
    const std::string punct = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
    std::set<std::string> found;
    for (char c : punct) {
        std::string error;
        (void)accepted(e, std::string("1 ") + c + " 1", &error);
        if (error.find("Unknown variable or operator") == std::string::npos)
            found.insert(std::string(1, c));
    }
    for (char a : punct)
        for (char b : punct)
            if (accepted(e, std::string("(1)") + a + b + "(1)") && !accepted(e, std::string("(1)") + a + ' ' + b + "(1)"))
                found.insert(std::string{a, b});
    return found;
}

} // namespace

TEST(QuickReference, DocumentsDescribeTheEvaluatorAndTheScriptModule) {
    TWin_QuickReference window;
    ASSERT_TRUE(window.LoadResource(TWin_QuickReference::kExpressions));
    const QString expressions = window.textArea()->toPlainText();
    EXPECT_TRUE(window.textArea()->isReadOnly());
    for (const char* section : {"Overview", "Unary Operators", "Binary Operators", "Special Characters", "Constants",
                                "Variables", "True and False", "Examples", "Limitations"})
        EXPECT_TRUE(expressions.contains(QLatin1String(section))) << section;
    const auto operators = evaluatorOperators();
    EXPECT_EQ(operators.size(), 22u);  // 20 operators and the two parentheses
    for (const std::string& op : operators)
        EXPECT_TRUE(expressions.contains(QString::fromStdString(op))) << op;
    for (const char* name : kExpressionVariableNames)
        EXPECT_TRUE(expressions.contains(QLatin1String(name))) << name;

    // The second document replaces the first.
    ASSERT_TRUE(window.LoadResource(TWin_QuickReference::kPython));
    const QString python = window.textArea()->toPlainText();
    EXPECT_FALSE(python.contains(QLatin1String("Binary Operators")));
    for (const char* name : {"NOTSTARTED", "CANCELLED", "READWRITE", "UNTESTED", "write(text)", "ODScanEntry", "PDOAnalysisPDO",
                             "PDOAnalysis()", "mappingnumaccess", "TPDOSync", "TPDOSyncCycle", "TPDOSyncRPDOsCycle",
                             "TPDOEvent", "TPDOEventCycle", "TPDOEventRPDOsCycle", "PDOTurnaroundCycle", "sync_dev", "cycles"})
        EXPECT_TRUE(python.contains(QLatin1String(name))) << name;
    for (const SummaryField& field : kSummaryFields)
        EXPECT_TRUE(python.contains(QLatin1String(field.name))) << field.name;
    for (const SummaryPresence& presence : kSummaryPresence)
        EXPECT_TRUE(python.contains(QLatin1String(presence.name))) << presence.name;

    // Names never break across lines, at the window's design width.
    window.show();
    (void)window.textArea()->document()->size();  // lays the whole document out
    const auto inName = [](QChar c) { return c.isLetterOrNumber() || c == u'_'; };
    for (QTextBlock block = window.textArea()->document()->begin(); block.isValid(); block = block.next())
        for (int i = 1, at = 0; i < block.layout()->lineCount(); ++i)
            EXPECT_FALSE((at = block.layout()->lineAt(i).textStart()) > 0 && inName(block.text()[at - 1]) &&
                         inName(block.text()[at]))
                << block.text().toStdString();

    EXPECT_FALSE(window.LoadResource("NOSUCHQUICKREF"));
    EXPECT_EQ(window.textArea()->toPlainText(), python);
}

TEST(QuickReference, OpensAtTheTopLeftOfASmallerCallerAndCentredOnALargerOne) {
    TWin_QuickReference window;
    QWidget small;
    small.setGeometry(60, 50, 120, 90);  // far enough up and left that the window fits the screen
    small.show();
    QWidget large;
    large.setGeometry(40, 30, window.width() + 200, window.height() + 100);
    large.show();
    // Over a caller at the screen's corner it stays on the screen.
    const QRect screen = small.screen()->availableGeometry();
    QWidget corner;
    corner.setGeometry(screen.right() - 60, screen.bottom() - 50, 120, 90);
    corner.show();
    for (QWidget* caller : {&small, &large, &corner}) {
        QRect shownAt;
        QTimer::singleShot(0, &window, [&] {
            shownAt = window.isVisible() ? window.frameGeometry() : QRect();
            window.close();
        });
        ASSERT_TRUE(window.ShowResource(TWin_QuickReference::kExpressions, caller));
        ASSERT_FALSE(shownAt.isNull());
        if (caller == &small)
            EXPECT_EQ(shownAt.topLeft(), small.pos());
        else if (caller == &large)
            EXPECT_LE((shownAt.center() - large.frameGeometry().center()).manhattanLength(), 2);
        else
            EXPECT_TRUE(screen.contains(shownAt)) << shownAt.left() << "," << shownAt.top();
    }
    EXPECT_FALSE(window.ShowResource("NOSUCHQUICKREF", &small));
}

TEST(QuickReference, PrintsWithInchMarginsAndOneAndAHalfAtTheTop) {
    ostrel::vessolt::test::TempFolder folder;
    const QString file = QString::fromStdString((folder.path() / "quickref.pdf").string());
    TWin_QuickReference window;
    ASSERT_TRUE(window.LoadResource(TWin_QuickReference::kPython));
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(file);
    window.PrintTo(printer);

    const QMarginsF margins = printer.pageLayout().margins(QPageLayout::Inch);
    EXPECT_NEAR(margins.left(), 1.0, 1e-3);
    EXPECT_NEAR(margins.right(), 1.0, 1e-3);
    EXPECT_NEAR(margins.bottom(), 1.0, 1e-3);
    EXPECT_NEAR(margins.top(), 1.5, 1e-3);
    EXPECT_EQ(printer.docName(), QStringLiteral("Quick Reference"));
    QFile pdf(file);
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    const QByteArray bytes = pdf.readAll();
    EXPECT_TRUE(bytes.startsWith("%PDF"));
    EXPECT_GT(bytes.size(), 4000);
}
