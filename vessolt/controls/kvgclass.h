// Roots of the instrument widgets: settings objects whose changes chain up to the widget that owns
// them, the notifying font and pen they hold, margins, the control bases with update counting, and
// INI persistence of a widget's settings.
#pragma once

#include "kvcontrols_export.h"
#include "kvformat.h"
#include "kvproc.h"

#include <QFont>
#include <QPen>
#include <QString>
#include <QWidget>

#include <functional>

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt::controls {

class KvCanvas;

// Whatever reports a change: settings objects, fonts, pens. Senders are owned in place and never
// copied, since their handlers hold pointers to their owners.
class KVCONTROLS_EXPORT KvSender {
public:
    using TNotifyEvent = std::function<void(KvSender* sender)>;

    KvSender() = default;
    KvSender(const KvSender&) = delete;
    KvSender& operator=(const KvSender&) = delete;
    virtual ~KvSender() = default;

    TNotifyEvent OnChange;

    // OnChange with this object as sender.
    virtual void Change();
    // OnChange with `sender` passed on unchanged: how nested objects reach the widget.
    virtual void ChangeObject(KvSender* sender);

protected:
    // Makes `child` report through this object's ChangeObject.
    void chain(KvSender& child);
    // Stores a differing value and notifies.
    template <typename T>
    bool setField(T& field, const T& value) {
        if (field == value)
            return false;
        field = value;
        Change();
        return true;
    }
};

// Base of every settings class.
class KVCONTROLS_EXPORT TKvPersistent : public KvSender {};

// A font with its colour; sizes are points at 96 pixels per inch.
class KVCONTROLS_EXPORT KvFont : public KvSender {
public:
    KvFont();
    [[nodiscard]] const QString& Name() const { return name_; }
    void SetName(const QString& v) { setField(name_, v); }
    [[nodiscard]] int32_t Size() const { return size_; }
    void SetSize(int32_t v) { setField(size_, v); }
    [[nodiscard]] bool Bold() const { return bold_; }
    void SetBold(bool v) { setField(bold_, v); }
    [[nodiscard]] bool Italic() const { return italic_; }
    void SetItalic(bool v) { setField(italic_, v); }
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    // Copies every attribute; one notification when any differed.
    void assign(const KvFont& source);
    [[nodiscard]] bool sameAs(const KvFont& other) const;

    [[nodiscard]] int32_t pixelSize() const;
    [[nodiscard]] QFont font() const;
    // Selects the font and its colour on the canvas.
    void select(KvCanvas& canvas) const;

private:
    QString name_;
    int32_t size_ = 8;
    bool bold_ = false;
    bool italic_ = false;
    TColor color_ = clWindowText;
};

class KVCONTROLS_EXPORT KvPen : public KvSender {
public:
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] int32_t Width() const { return width_; }
    void SetWidth(int32_t v) { setField(width_, v); }
    [[nodiscard]] Qt::PenStyle Style() const { return style_; }
    void SetStyle(Qt::PenStyle v) { setField(style_, v); }
    void assign(const KvPen& source);
    [[nodiscard]] QPen pen() const;

private:
    TColor color_ = clBlack;
    int32_t width_ = 1;
    Qt::PenStyle style_ = Qt::SolidLine;
};

// Four margins that shrink a rectangle.
class KVCONTROLS_EXPORT TKvOffset : public TKvPersistent {
public:
    [[nodiscard]] int32_t Top() const { return top_; }
    void SetTop(int32_t v) { setField(top_, v); }
    [[nodiscard]] int32_t Left() const { return left_; }
    void SetLeft(int32_t v) { setField(left_, v); }
    [[nodiscard]] int32_t Right() const { return right_; }
    void SetRight(int32_t v) { setField(right_, v); }
    [[nodiscard]] int32_t Bottom() const { return bottom_; }
    void SetBottom(int32_t v) { setField(bottom_, v); }
    // Stores the margins without notifying.
    void Write(int32_t top, int32_t left, int32_t right, int32_t bottom);
    [[nodiscard]] TRect SetOffset(TRect rect) const;
    // Copies the margins, then notifies.
    void assign(const TKvOffset& source);

private:
    int32_t top_ = 0;
    int32_t left_ = 0;
    int32_t right_ = 0;
    int32_t bottom_ = 0;
};

// The object that changed: a settings object, font or pen, or the control itself.
using KvChangeSource = const void*;

// Update counting shared by both control bases.
class KVCONTROLS_EXPORT TKvGraphicControl : public QWidget {
public:
    explicit TKvGraphicControl(QWidget* parent = nullptr);
    void BeginUpdate() { ++updateCount_; }
    // The outermost end notifies; an unbalanced end stays at 0 and notifies too.
    void EndUpdate();
    [[nodiscard]] int32_t updateCount() const { return updateCount_; }
    // ParamChange with the control as sender, unless an update is open.
    virtual void Change();
    // Widgets recompute and repaint here.
    virtual void ParamChange(KvChangeSource sender);

protected:
    virtual void ended() { Change(); }
    int32_t updateCount_ = 0;
};

class KVCONTROLS_EXPORT TKvCustomControl : public TKvGraphicControl {
public:
    using TKvGraphicControl::TKvGraphicControl;
    virtual void Invalidate() { update(); }

protected:
    void ended() override { Invalidate(); }
};

// Opens an INI file for a widget's load or save handler.
class KVCONTROLS_EXPORT TIniSettings {
public:
    using THandleIniEvent = std::function<void(platform::IniFile& ini, bool read)>;

    QString FileName;
    QString Section;
    bool UseAppDir = true;
    bool AutoLoadSave = false;
    THandleIniEvent OnHandleIniEvent;

    // Loads the file, runs the handler, and when saving writes the file. Failures are recorded,
    // never shown.
    void Handle(bool read);
    void AutoHandle(bool read);
    [[nodiscard]] bool Error() const { return error_; }
    [[nodiscard]] const QString& ErrorText() const { return errorText_; }
    // Where Handle reads and writes: with UseAppDir the last part of FileName in the program's folder.
    [[nodiscard]] QString path() const;

private:
    bool error_ = false;
    QString errorText_;
};

} // namespace ostrel::vessolt::controls
