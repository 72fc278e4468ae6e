#include "kvproc.h"

#include <QApplication>
#include <QMessageBox>

#include <atomic>
#include <bit>
#include <cstring>

namespace ostrel::vessolt::controls {

namespace {
std::atomic<KvBeepHook> beepHook{nullptr};
std::atomic<KvMessageHook> messageHook{nullptr};
} // namespace

QString KvIntToBin(int32_t value, int32_t width) {
    if (width < 0)
        width = 0;
    const auto bits = static_cast<uint32_t>(value);
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        text.prepend((bits >> bit) & 1u ? u'1' : u'0');
        if (width == 0 ? (bit == 31 || (bits >> (bit + 1)) == 0) : bit >= width)
            break;
    }
    return text;
}

QString KvSingleToBin(float value, int32_t width) {
    return KvIntToBin(std::bit_cast<int32_t>(value), width);
}

uint32_t KvBinToLWord(const QString& text) {
    uint32_t value = 0;
    int bit = 0;
    for (auto i = text.size() - 1; i >= 0 && bit < 32; --i, ++bit)
        if (text[i] == u'1')
            value |= 1u << bit;
    return value;
}

int32_t KvBinToInt(const QString& text) { return static_cast<int32_t>(KvBinToLWord(text)); }

float KvBinToSingle(const QString& text) { return std::bit_cast<float>(KvBinToLWord(text)); }

QString KvRemoveSign(const QString& text, QChar sign) {
    QString out = text;
    out.remove(sign);
    return out;
}

void KvBeep() {
    if (const auto hook = beepHook.load())
        hook();
    else if (qApp && qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::beep();
}

KvBeepHook KvSetBeepHook(KvBeepHook hook) { return beepHook.exchange(hook); }

void KvShowError(const QString& text, const QString& caption) {
    if (const auto hook = messageHook.load())
        hook(text, caption);
    else if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QMessageBox::critical(nullptr, caption, text, QMessageBox::Ok);
    else
        qWarning("%s: %s", qPrintable(caption), qPrintable(text));
}

KvMessageHook KvSetMessageHook(KvMessageHook hook) { return messageHook.exchange(hook); }

} // namespace ostrel::vessolt::controls
