// Build tool: turns the user manual's Markdown source into the PDF that ships beside the program.
//   make_manual <manual.md> <output.pdf>
// Lines at the top that begin with "% " fill the title page. Level-1 and level-2 headings are
// numbered and listed in the contents; every level-1 heading starts a page. No heading, and no line
// that leads into a table, list or example, ends a page; tables that fit on a page and code examples
// are not split. Images are taken from the source's folder, at most as wide as the text, and get a
// numbered caption from their alternative text. The fonts are named, never the machine's defaults: a
// missing face stops the tool, so that the PDF is the same on every machine.
#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTemporaryDir>
#include <QTextFrame>
#include <QTextTable>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <tuple>
#include <vector>

namespace {

constexpr int kResolution = 300;              // dots per inch of the PDF's coordinates
constexpr double kMarginMm = 20.0;
constexpr double kFooterMm = 8.0;             // room below the text for the page number
constexpr double kScreenshotDpi = 110.0;      // how large a screenshot's pixel prints
// scripts/setup installs both (fonts-dejavu-core, and fonts-dejavu-extra for the oblique faces).
const char* const kFontFamily = "DejaVu Sans";
const char* const kCodeFontFamily = "DejaVu Sans Mono";
constexpr int kBodyPoints = 10;
constexpr int kCodePoints = 9;
constexpr int kCaptionPoints = 9;
constexpr double kPageShare = 0.8;  // what is taller than this share of a page may be split
// Block margins and image sizes of a text document are in 96-dpi pixels, which the layout scales to
// the PDF's resolution; a table's border and padding are not scaled.
constexpr double kDotsPerPixel = kResolution / 96.0;

struct Heading {
    int level = 0;
    QString text;
    int page = 0;  // of the body, from 0
    QTextBlock block;
};

double mmToDots(double mm) { return mm / 25.4 * kResolution; }

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "make_manual: %s\n", qPrintable(message));
    std::exit(1);
}

// Headings get their numbers ("2", "2.3") in front of the text, as the contents lists them.
std::vector<Heading> numberHeadings(QTextDocument& doc) {
    std::vector<Heading> headings;
    int chapter = 0;
    int section = 0;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level < 1 || level > 2)
            continue;
        QString number;
        if (level == 1) {
            ++chapter;
            section = 0;
            number = QString::number(chapter);
        } else {
            ++section;
            number = QStringLiteral("%1.%2").arg(chapter).arg(section);
        }
        QTextCursor cursor(block);
        cursor.insertText(number + QStringLiteral("  "));
        headings.push_back({level, block.text(), 0, block});
    }
    return headings;
}

// Code, inline or as an example, is what the Markdown reader set in the system's fixed font.
bool isCodeFont(const QTextCharFormat& format) {
    static const QStringList fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).families();
    return format.hasProperty(QTextFormat::FontFamilies) && format.fontFamilies().toStringList() == fixed;
}

bool isCode(const QTextBlock& block) {
    const QTextBlockFormat format = block.blockFormat();
    // The Markdown reader marks the lines of a code block with a (possibly empty) language.
    return format.hasProperty(QTextFormat::BlockCodeLanguage) || format.hasProperty(QTextFormat::BlockCodeFence) ||
           format.nonBreakableLines();
}

bool isImageOnly(const QTextBlock& block) {
    return block.text() == QString(QChar::ObjectReplacementCharacter) &&
           block.begin().fragment().charFormat().isImageFormat();
}

void mergeBlockChars(const QTextBlock& block, const QTextCharFormat& chars) {
    QTextCursor text(block);
    text.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    text.mergeCharFormat(chars);
}

// Images: their own pixel size at the screenshots' print resolution, never wider than the text.
void sizeImages(QTextDocument& doc, const QTextBlock& block, const QString& baseDir, double textWidthDots) {
    // Collected first: setting a format while walking the fragments would change them under the walk.
    std::vector<QTextFragment> images;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        if (it.fragment().charFormat().isImageFormat())
            images.push_back(it.fragment());
    for (const QTextFragment& fragment : images) {
        QTextImageFormat image = fragment.charFormat().toImageFormat();
        const QImage picture(baseDir + QLatin1Char('/') + image.name());
        if (picture.isNull())
            fail(QStringLiteral("image %1 cannot be read").arg(image.name()));
        doc.addResource(QTextDocument::ImageResource, QUrl(image.name()), picture);
        const double width = std::min(picture.width() * 96.0 / kScreenshotDpi, textWidthDots / kDotsPerPixel);
        image.setWidth(width);
        image.setHeight(width * picture.height() / picture.width());
        QTextCursor imageCursor(&doc);
        imageCursor.setPosition(fragment.position());
        imageCursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
        imageCursor.setCharFormat(image);
    }
}

// "Figure N: <alternative text>" below each image that stands alone in its paragraph.
void addCaptions(const std::vector<QTextBlock>& figures) {
    QTextBlockFormat format;
    format.setAlignment(Qt::AlignHCenter);
    format.setTopMargin(2);
    format.setBottomMargin(10);
    QTextCharFormat chars;
    chars.setFontPointSize(kCaptionPoints);
    chars.setFontItalic(true);
    chars.setForeground(QColor(0x33, 0x33, 0x33));
    for (size_t i = 0; i < figures.size(); ++i) {
        const QTextImageFormat image = figures[i].begin().fragment().charFormat().toImageFormat();
        const QString text = image.property(QTextFormat::ImageAltText).toString().trimmed();
        if (text.isEmpty())
            fail(QStringLiteral("image %1 has no text for its caption").arg(image.name()));
        QTextCursor cursor(figures[i]);
        cursor.movePosition(QTextCursor::EndOfBlock);
        cursor.insertBlock(format, chars);
        cursor.insertText(QStringLiteral("Figure %1: %2").arg(i + 1).arg(text), chars);
    }
}

// Tables: thin ruled cells, the first row as a shaded header in bold.
void styleTables(QTextDocument& doc) {
    for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
        auto* table = qobject_cast<QTextTable*>(frame);
        if (!table)
            continue;
        QTextTableFormat format = table->format();
        format.setBorder(0.5 * kDotsPerPixel);  // a table's lengths are in the PDF's dots
        format.setBorderBrush(QColor(0x99, 0x99, 0x99));
        format.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);  // not the default's raised edge
        format.setBorderCollapse(true);
        format.setCellPadding(2 * kDotsPerPixel);
        format.setCellSpacing(0);
        format.setBottomMargin(8);
        table->setFormat(format);
        for (int column = 0; column < table->columns(); ++column) {
            QTextTableCell cell = table->cellAt(0, column);
            // After a code block the Markdown reader opens the first header cell with an empty line and
            // sets its text as a plain paragraph: one line again, in the header's bold.
            QTextCursor text = cell.firstCursorPosition();
            while (text.block().text().isEmpty() && text.position() < cell.lastCursorPosition().position()) {
                text.deleteChar();
                text.setBlockFormat(QTextBlockFormat());
            }
            text.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
            QTextCharFormat bold;
            bold.setFontWeight(QFont::Bold);
            text.mergeCharFormat(bold);
            QTextCharFormat header = cell.format();
            header.setBackground(QColor(0xE4, 0xEC, 0xF4));
            cell.setFormat(header);
        }
    }
}

// Each code example in a shaded, ruled box of its own. The box is a frame around its lines; the empty
// line that opening the frame leaves before it is taken out again, and the one that must follow a
// frame is no taller than the space after a paragraph.
void frameCodeExamples(QTextDocument& doc) {
    std::vector<std::pair<QTextBlock, QTextBlock>> examples;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (!isCode(block))
            continue;
        QTextBlock last = block;
        while (last.next().isValid() && isCode(last.next()))
            last = last.next();
        examples.emplace_back(block, last);
        block = last;
    }
    QTextFrameFormat box;
    box.setBorder(0.75);  // unlike a table's, a frame's lengths are in 96-dpi pixels
    box.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    box.setBorderBrush(QColor(0xB8, 0xC4, 0xD0));
    box.setBackground(QColor(0xF3, 0xF5, 0xF8));
    box.setPadding(5);
    box.setTopMargin(2);
    box.setBottomMargin(0);
    QTextBlockFormat gap;
    gap.setLineHeight(5, QTextBlockFormat::FixedHeight);
    for (const auto& [first, last] : examples) {
        for (QTextBlock line = first;; line = line.next()) {
            QTextBlockFormat format = line.blockFormat();
            format.setTopMargin(0);
            format.setBottomMargin(0);
            QTextCursor(line).setBlockFormat(format);
            if (line == last)
                break;
        }
        QTextCursor lines(&doc);
        lines.setPosition(first.position());
        lines.setPosition(last.position() + last.length() - 1, QTextCursor::KeepAnchor);
        QTextFrame* frame = lines.insertFrame(box);
        const QTextBlock opened = doc.findBlock(frame->firstPosition() - 1);
        if (opened.text().isEmpty() && opened.previous().isValid()) {
            QTextCursor join(opened.previous());
            join.movePosition(QTextCursor::EndOfBlock);
            join.deleteChar();
        }
        const QTextBlock after = doc.findBlock(frame->lastPosition() + 1);
        if (after.text().isEmpty())
            QTextCursor(after).setBlockFormat(gap);
    }
}

void styleDocument(QTextDocument& doc, const QString& baseDir, double textWidthDots) {
    std::vector<QTextBlock> figures;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        const int level = format.headingLevel();
        if (level == 1 && block != doc.begin())
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        if (level > 0) {
            format.setTopMargin(level == 1 ? 0 : 14);
            format.setBottomMargin(6);
            QTextCharFormat chars;
            chars.setForeground(QColor(0x1F, 0x4E, 0x79));
            mergeBlockChars(block, chars);
        } else if (isImageOnly(block)) {
            format.setAlignment(Qt::AlignHCenter);
            format.setBottomMargin(0);
            figures.push_back(block);
        } else if (!block.textList()) {
            format.setBottomMargin(5);
        }
        QTextCursor(block).setBlockFormat(format);
        sizeImages(doc, block, baseDir, textWidthDots);

        // Code in the named fixed font, examples a little smaller, inline code at the size of its text;
        // the reader gave it the machine's default fixed font at that font's size.
        std::vector<QTextFragment> codeFragments;
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (isCodeFont(it.fragment().charFormat()))
                codeFragments.push_back(it.fragment());
        for (const QTextFragment& fragment : codeFragments) {
            QTextCharFormat code = fragment.charFormat();
            code.setFontFamilies(QStringList{QString::fromLatin1(kCodeFontFamily)});
            code.setFontFixedPitch(true);
            if (isCode(block))
                code.setFontPointSize(kCodePoints);
            else
                code.clearProperty(QTextFormat::FontPointSize);
            QTextCursor text(&doc);
            text.setPosition(fragment.position());
            text.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            text.setCharFormat(code);
        }
    }
    addCaptions(figures);
    styleTables(doc);
    frameCodeExamples(doc);
}

// Stops the tool when a face the document uses is not installed: the font library would silently take
// another family, or slant and embolden a regular face, and the PDF would differ between machines.
void requireFaces(const std::vector<const QTextDocument*>& docs, const std::vector<QFont>& others) {
    std::set<std::tuple<QString, bool, bool>> used;
    const auto note = [&used](const QFont& font) {
        used.emplace(font.families().value(0, font.family()), font.weight() >= QFont::DemiBold,
                     font.style() != QFont::StyleNormal);
    };
    for (const QTextDocument* doc : docs)
        for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                note(it.fragment().charFormat().font().resolve(doc->defaultFont()));
    for (const QFont& font : others)
        note(font);
    for (const auto& [family, bold, slanted] : used) {
        const QString face = family + (bold ? QStringLiteral(" Bold") : QString()) +
                             (slanted ? QStringLiteral(" Oblique") : QString());
        if (!QFontDatabase::hasFamily(family))
            fail(QStringLiteral("the font %1 is not installed (scripts/setup installs it)").arg(face));
        QFont font(family, kBodyPoints, bold ? QFont::Bold : QFont::Normal, slanted);
        // The face the font library picks; a slanted or bold request met by a regular face is synthetic.
        const QFont picked = QFontDatabase::font(family, QFontInfo(font).styleName(), kBodyPoints);
        if (QFontInfo(font).family() != family || (picked.weight() >= QFont::DemiBold) != bold ||
            (picked.style() != QFont::StyleNormal) != slanted)
            fail(QStringLiteral("the font %1 is not installed (scripts/setup installs it)").arg(face));
    }
}

// The layout's unit: a top-level paragraph, or a table or code example as a whole.
struct Piece {
    QTextBlock block;
    QTextFrame* frame = nullptr;
    bool keepWithNext = false;  // a heading, a line that leads into what follows, a figure (its caption)
};

std::vector<Piece> topLevelPieces(QTextDocument& doc) {
    std::vector<Piece> pieces;
    for (auto it = doc.rootFrame()->begin(); !it.atEnd(); ++it) {
        if (QTextFrame* frame = it.currentFrame()) {
            pieces.push_back({QTextBlock(), frame, false});
            continue;
        }
        const QTextBlock block = it.currentBlock();
        const bool leadsIn = block.text().trimmed().endsWith(QLatin1Char(':'));
        pieces.push_back({block, nullptr, block.blockFormat().headingLevel() > 0 || leadsIn || isImageOnly(block)});
    }
    return pieces;
}

QRectF pieceBox(QTextDocument& doc, const Piece& piece) {
    return piece.frame ? doc.documentLayout()->frameBoundingRect(piece.frame)
                       : doc.documentLayout()->blockBoundingRect(piece.block);
}

// How far what leads into a piece must stay with it: all of it, or a table's header and first row
// when the table is too long for a page anyway.
double headBottom(QTextDocument& doc, const Piece& piece, double pageHeight) {
    const QRectF box = pieceBox(doc, piece);
    auto* table = qobject_cast<QTextTable*>(piece.frame);
    if (!table || box.height() <= pageHeight * kPageShare || table->rows() < 2)
        return box.bottom();
    double bottom = box.top();
    for (int column = 0; column < table->columns(); ++column) {
        const QTextBlock end = table->cellAt(1, column).lastCursorPosition().block();
        bottom = std::max(bottom, doc.documentLayout()->blockBoundingRect(end).bottom());
    }
    return bottom;
}

bool breakBefore(const Piece& piece) {
    if (piece.frame) {
        QTextFrameFormat format = piece.frame->frameFormat();
        if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
            return false;
        format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        piece.frame->setFrameFormat(format);
        return true;
    }
    QTextBlockFormat format = piece.block.blockFormat();
    if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
        return false;
    format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
    QTextCursor(piece.block).setBlockFormat(format);
    return true;
}

// What must not be split across pages: a run of pieces that keep with the next, together with the
// head of the piece after them, and each table or code example that fits on a page. The first that a
// page's end would split moves to the next page, and the layout is looked at again, until none is.
void keepRunsTogether(QTextDocument& doc, double pageHeight) {
    const std::vector<Piece> pieces = topLevelPieces(doc);
    for (int pass = 0; pass < 500; ++pass) {
        bool moved = false;
        for (size_t i = 0; i < pieces.size() && !moved; ++i) {
            size_t last = i;
            while (pieces[last].keepWithNext && last + 1 < pieces.size())
                ++last;
            if (last == i && !pieces[i].frame)
                continue;
            const double top = pieceBox(doc, pieces[i]).top();
            const double bottom = headBottom(doc, pieces[last], pageHeight);
            const bool split = int(top / pageHeight) != int((bottom - 1) / pageHeight);
            if (split && bottom - top <= pageHeight * kPageShare)
                moved = breakBefore(pieces[i]);
        }
        if (!moved)
            return;
    }
}

struct PageGeometry {
    QRectF text;       // the text area on the page, in dots
    QRectF footer;
};

void drawDocumentPage(QPainter& painter, QTextDocument& doc, int page, const PageGeometry& geometry) {
    const double height = geometry.text.height();
    painter.save();
    painter.translate(geometry.text.left(), geometry.text.top() - page * height);
    // One dot short: what starts on the next page must not leave its top edge on this one.
    const QRectF clip(0, page * height, geometry.text.width(), height - 1);
    QAbstractTextDocumentLayout::PaintContext context;
    context.clip = clip;
    context.palette.setColor(QPalette::Text, Qt::black);
    painter.setClipRect(clip);
    doc.documentLayout()->draw(&painter, context);
    painter.restore();
}

QFont footerFont() { return QFont(QString::fromLatin1(kFontFamily), 8); }

// The title page's lines: the product, the document, then smaller lines.
QFont titleFont(int line) {
    QFont font(QString::fromLatin1(kFontFamily), line == 0 ? 28 : (line == 1 ? 18 : 11));
    font.setBold(line == 0);
    return font;
}

void drawFooter(QPainter& painter, const PageGeometry& geometry, const QString& left, int pageNumber) {
    painter.setFont(footerFont());
    painter.setPen(QColor(0x55, 0x55, 0x55));
    painter.drawLine(geometry.footer.topLeft(), geometry.footer.topRight());
    const QRectF box = geometry.footer.adjusted(0, mmToDots(1.5), 0, 0);
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop, left);
    painter.drawText(box, Qt::AlignRight | Qt::AlignTop, QString::number(pageNumber));
}

void drawTitlePage(QPainter& painter, const PageGeometry& geometry, const QStringList& lines) {
    double y = geometry.text.top() + geometry.text.height() * 0.28;
    for (int i = 0; i < lines.size(); ++i) {
        painter.setFont(titleFont(i));
        painter.setPen(i < 2 ? QColor(0x1F, 0x4E, 0x79) : QColor(0x33, 0x33, 0x33));
        const QRectF box(geometry.text.left(), y, geometry.text.width(), geometry.text.height());
        QRectF used;
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, lines[i], &used);
        y += used.height() + mmToDots(i == 0 ? 6 : 3);
        if (i == 1) {
            painter.setPen(QPen(QColor(0x1F, 0x4E, 0x79), mmToDots(0.5)));
            painter.drawLine(QPointF(geometry.text.left() + geometry.text.width() * 0.2, y),
                             QPointF(geometry.text.right() - geometry.text.width() * 0.2, y));
            y += mmToDots(8);
        }
    }
}

// The contents: one row per numbered heading with its page, sections indented.
void buildContents(QTextDocument& contents, const std::vector<Heading>& headings, int firstBodyPage) {
    QTextCursor cursor(&contents);
    QTextBlockFormat title;
    title.setBottomMargin(18);
    QTextCharFormat titleChars;
    titleChars.setFontPointSize(18);
    titleChars.setFontWeight(QFont::Bold);
    titleChars.setForeground(QColor(0x1F, 0x4E, 0x79));
    cursor.setBlockFormat(title);
    cursor.insertText(QStringLiteral("Contents"), titleChars);

    QTextTableFormat format;
    format.setBorder(0);
    format.setCellPadding(1.5 * kDotsPerPixel);
    format.setCellSpacing(0);
    format.setWidth(QTextLength(QTextLength::PercentageLength, 100));
    format.setColumnWidthConstraints({QTextLength(QTextLength::PercentageLength, 92),
                                      QTextLength(QTextLength::PercentageLength, 8)});
    QTextTable* table = cursor.insertTable(int(headings.size()), 2, format);
    for (int row = 0; row < int(headings.size()); ++row) {
        const Heading& heading = headings[size_t(row)];
        QTextCharFormat chars;
        chars.setFontWeight(heading.level == 1 ? QFont::Bold : QFont::Normal);
        QTextBlockFormat line;
        line.setLeftMargin(heading.level == 1 ? 0 : 16);
        line.setTopMargin(heading.level == 1 && row > 0 ? 6 : 0);
        QTextCursor cell = table->cellAt(row, 0).firstCursorPosition();
        cell.setBlockFormat(line);
        cell.insertText(heading.text, chars);
        line.setLeftMargin(0);
        line.setAlignment(Qt::AlignRight);
        cell = table->cellAt(row, 1).firstCursorPosition();
        cell.setBlockFormat(line);
        cell.insertText(QString::number(heading.page + firstBodyPage), chars);
    }
}

void setUpDocument(QTextDocument& doc, QPdfWriter& writer, const PageGeometry& geometry) {
    doc.documentLayout()->setPaintDevice(&writer);
    doc.setDefaultFont(QFont(QString::fromLatin1(kFontFamily), kBodyPoints));
    doc.setPageSize(geometry.text.size());
    doc.setDocumentMargin(0);
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Build machines often have no session folder; Qt would warn about it on every build.
    QTemporaryDir runtimeDir;
    if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR") && runtimeDir.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    QGuiApplication app(argc, argv);
    if (argc != 3)
        fail(QStringLiteral("usage: make_manual <manual.md> <output.pdf>"));
    const QString sourcePath = QString::fromLocal8Bit(argv[1]);
    const QString outputPath = QString::fromLocal8Bit(argv[2]);

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Text))
        fail(QStringLiteral("cannot read %1").arg(sourcePath));
    QStringList lines = QString::fromUtf8(source.readAll()).split(QLatin1Char('\n'));
    QStringList titleLines;
    while (!lines.isEmpty() && lines.first().startsWith(QLatin1String("% ")))
        titleLines << lines.takeFirst().mid(2).trimmed();
    if (titleLines.isEmpty())
        fail(QStringLiteral("the source begins with no title lines (\"% ...\")"));

    QPdfWriter writer(outputPath);
    writer.setResolution(kResolution);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setTitle(titleLines.join(QStringLiteral(" - ")));
    writer.setCreator(titleLines.first());
    const double pageWidth = writer.width();
    const double pageHeight = writer.height();
    const double margin = mmToDots(kMarginMm);
    PageGeometry geometry;
    geometry.text = QRectF(margin, margin, pageWidth - 2 * margin, pageHeight - 2 * margin - mmToDots(kFooterMm));
    geometry.footer = QRectF(margin, pageHeight - margin - mmToDots(kFooterMm) + mmToDots(3), geometry.text.width(),
                             mmToDots(kFooterMm));

    QTextDocument body;
    setUpDocument(body, writer, geometry);
    body.setMarkdown(lines.join(QLatin1Char('\n')), QTextDocument::MarkdownDialectGitHub);
    const std::vector<Heading> numbered = numberHeadings(body);
    styleDocument(body, QFileInfo(sourcePath).absolutePath(), geometry.text.width());
    keepRunsTogether(body, geometry.text.height());
    std::vector<Heading> headings = numbered;
    for (Heading& heading : headings)
        heading.page = int(body.documentLayout()->blockBoundingRect(heading.block).top() / geometry.text.height());

    // The contents' own length decides where the body starts, so it is laid out once to count it.
    QTextDocument contents;
    setUpDocument(contents, writer, geometry);
    buildContents(contents, headings, 0);
    const int contentsPages = contents.pageCount();
    QTextDocument numberedContents;
    setUpDocument(numberedContents, writer, geometry);
    buildContents(numberedContents, headings, 2 + contentsPages);
    if (numberedContents.pageCount() != contentsPages)
        fail(QStringLiteral("the contents changed length"));
    std::vector<QFont> pageFonts{footerFont()};
    for (int line = 0; line < titleLines.size(); ++line)
        pageFonts.push_back(titleFont(line));
    requireFaces({&body, &numberedContents}, pageFonts);

    QPainter painter;
    if (!painter.begin(&writer))
        fail(QStringLiteral("cannot write %1").arg(outputPath));
    drawTitlePage(painter, geometry, titleLines);
    const QString footerText = titleLines.mid(0, 2).join(QStringLiteral(" - "));
    int pageNumber = 1;
    for (int page = 0; page < contentsPages; ++page) {
        writer.newPage();
        drawDocumentPage(painter, numberedContents, page, geometry);
        drawFooter(painter, geometry, footerText, ++pageNumber);
    }
    for (int page = 0; page < body.pageCount(); ++page) {
        writer.newPage();
        drawDocumentPage(painter, body, page, geometry);
        drawFooter(painter, geometry, footerText, ++pageNumber);
    }
    if (!painter.end())
        fail(QStringLiteral("cannot finish %1").arg(outputPath));
    return 0;
}
