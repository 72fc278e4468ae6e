#include "kvgclass.h"

#include "kvcanvas.h"

#include <platform/ini.h>
#include <platform/process.h>

namespace ostrel::vessolt::controls {

void KvSender::Change() {
    if (OnChange)
        OnChange(this);
}

void KvSender::ChangeObject(KvSender* sender) {
    if (OnChange)
        OnChange(sender);
}

void KvSender::chain(KvSender& child) {
    child.OnChange = [this](KvSender* sender) { ChangeObject(sender); };
}

// ---- font and pen ----

KvFont::KvFont() : name_(QFont().family()) {}

bool KvFont::sameAs(const KvFont& o) const {
    return name_ == o.name_ && size_ == o.size_ && bold_ == o.bold_ && italic_ == o.italic_ && color_ == o.color_;
}

void KvFont::assign(const KvFont& source) {
    if (&source == this || sameAs(source))
        return;
    name_ = source.name_;
    size_ = source.size_;
    bold_ = source.bold_;
    italic_ = source.italic_;
    color_ = source.color_;
    Change();
}

int32_t KvFont::pixelSize() const { return std::max(kvRound(size_ * 96.0 / 72.0), 1); }

QFont KvFont::font() const {
    QFont f(name_);
    f.setPixelSize(pixelSize());
    f.setBold(bold_);
    f.setItalic(italic_);
    return f;
}

void KvFont::select(KvCanvas& canvas) const {
    canvas.setFont(font());
    canvas.setFontColor(kvColor(color_));
}

void KvPen::assign(const KvPen& source) {
    if (&source == this || (color_ == source.color_ && width_ == source.width_ && style_ == source.style_))
        return;
    color_ = source.color_;
    width_ = source.width_;
    style_ = source.style_;
    Change();
}

QPen KvPen::pen() const {
    return QPen(QBrush(kvColor(color_)), std::max(width_, 1), style_, Qt::FlatCap, Qt::MiterJoin);
}

// ---- margins ----

void TKvOffset::Write(int32_t top, int32_t left, int32_t right, int32_t bottom) {
    top_ = top;
    left_ = left;
    right_ = right;
    bottom_ = bottom;
}

TRect TKvOffset::SetOffset(TRect rect) const {
    KvMultiBorder(rect, left_, top_, right_, bottom_);
    return rect;
}

void TKvOffset::assign(const TKvOffset& source) {
    Write(source.top_, source.left_, source.right_, source.bottom_);
    Change();
}

// ---- control bases ----

TKvGraphicControl::TKvGraphicControl(QWidget* parent) : QWidget(parent) {}

void TKvGraphicControl::EndUpdate() {
    if (--updateCount_ < 0)
        updateCount_ = 0;
    if (updateCount_ == 0)
        ended();
}

void TKvGraphicControl::Change() {
    if (updateCount_ == 0)
        ParamChange(this);
}

void TKvGraphicControl::ParamChange(KvChangeSource) {}

// ---- INI persistence ----

QString TIniSettings::path() const {
    if (!UseAppDir)
        return FileName;
    qsizetype cut = -1;
    for (const QChar separator : {u'/', u'\\', u':'})
        cut = std::max(cut, FileName.lastIndexOf(separator));
    return QString::fromStdString(platform::executableDir()) + u'/' + FileName.mid(cut + 1);
}

void TIniSettings::Handle(bool read) {
    error_ = false;
    errorText_.clear();
    if (FileName.isEmpty()) {
        error_ = true;
        errorText_ = QStringLiteral("Invalid FileName");
    }
    if (Section.isEmpty()) {
        error_ = true;
        errorText_ = QStringLiteral("Invalid SectionName");
    }
    if (error_)
        return;
    const QString file = path();
    platform::IniFile ini(file.toStdString());
    // A missing file reads as empty; one that cannot be read (too large, no regular file) is not
    // written either, so its other sections are not lost.
    const bool loaded = ini.loadForUpdate();
    if (!OnHandleIniEvent)
        return;
    OnHandleIniEvent(ini, read);
    if (read && !loaded) {
        error_ = true;
        errorText_ = QStringLiteral("Cannot read \"%1\" (%2)").arg(file, QString::fromStdString(ini.error()));
    } else if (!read && (!loaded || !ini.save())) {
        error_ = true;
        errorText_ = QStringLiteral("Cannot write \"%1\" (%2)").arg(file, QString::fromStdString(ini.error()));
    }
}

void TIniSettings::AutoHandle(bool read) {
    if (AutoLoadSave)
        Handle(read);
}

} // namespace ostrel::vessolt::controls
