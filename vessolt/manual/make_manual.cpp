// Build tool: turns the user manual's Markdown source into the PDF that ships beside the program.
//   make_manual <manual.md> <output.pdf>
// Lines at the top that begin with "% " fill the title page. Level-1 and level-2 headings are
// numbered and listed in the contents; every level-1 heading starts a page, no heading ends one, and
// code examples are not split. Images are taken from the source's folder, at most as wide as the text.
#include <QAbstractTextDocumentLayout>
#include <QFile>
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
#include <vector>

namespace {

constexpr int kResolution = 300;              // dots per inch of the PDF's coordinates
constexpr double kMarginMm = 20.0;
constexpr double kFooterMm = 8.0;             // room below the text for the page number
constexpr double kScreenshotDpi = 110.0;      // how large a screenshot's pixel prints
const char* const kFontFamily = "DejaVu Sans";  // scripts/setup installs it
constexpr int kBodyPoints = 10;
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

void styleDocument(QTextDocument& doc, const QString& baseDir, double textWidthDots) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextCursor cursor(block);
        QTextBlockFormat format = block.blockFormat();
        const int level = format.headingLevel();
        if (level == 1 && block != doc.begin())
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        if (level > 0) {
            format.setTopMargin(level == 1 ? 0 : 14);
            format.setBottomMargin(6);
            QTextCharFormat chars;
            chars.setForeground(QColor(0x1F, 0x4E, 0x79));
            QTextCursor text(block);
            text.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            text.mergeCharFormat(chars);
        } else if (!block.textList()) {
            format.setBottomMargin(5);
        }
        cursor.setBlockFormat(format);

        // Images: their own pixel size at the screenshots' print resolution, never wider than the text.
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
    // Tables: thin ruled cells, the first row as a shaded header.
    for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
        auto* table = qobject_cast<QTextTable*>(frame);
        if (!table)
            continue;
        QTextTableFormat format = table->format();
        format.setBorder(0.75 * kDotsPerPixel);  // a table's lengths are in the PDF's dots
        format.setBorderBrush(QColor(0x99, 0x99, 0x99));
        format.setBorderCollapse(true);
        format.setCellPadding(2 * kDotsPerPixel);
        format.setCellSpacing(0);
        format.setBottomMargin(8);
        table->setFormat(format);
        for (int column = 0; column < table->columns(); ++column) {
            QTextTableCell cell = table->cellAt(0, column);
            QTextCharFormat header = cell.format();
            header.setBackground(QColor(0xE4, 0xEC, 0xF4));
            cell.setFormat(header);
        }
    }
}

bool isCode(const QTextBlock& block) {
    const QTextBlockFormat format = block.blockFormat();
    // The Markdown reader marks the lines of a code block with a (possibly empty) language.
    return format.hasProperty(QTextFormat::BlockCodeLanguage) || format.hasProperty(QTextFormat::BlockCodeFence) ||
           format.nonBreakableLines();
}

// What must not be split across pages: a heading with the line after it, and a code example whole
// with the line that announces it (when it fits on one page). Each is a run of blocks.
struct KeepTogether {
    QTextBlock first;
    QTextBlock last;
};

std::vector<KeepTogether> keepTogetherRuns(QTextDocument& doc) {
    std::vector<KeepTogether> runs;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() > 0 && block.next().isValid()) {
            runs.push_back({block, block.next()});
        } else if (isCode(block)) {
            QTextBlock last = block;
            while (last.next().isValid() && isCode(last.next()))
                last = last.next();
            // "For example:" stays with the example it announces.
            const QTextBlock before = block.previous();
            const bool announced = before.isValid() && before.text().trimmed().endsWith(QLatin1Char(':'));
            runs.push_back({announced ? before : block, last});
            block = last;
        }
    }
    return runs;
}

// Moves each run, and each table that fits on a page, that would be split by a page's end to the next
// page, until none is: the layout would otherwise cut a table's row in two.
void keepRunsTogether(QTextDocument& doc, double pageHeight) {
    const std::vector<KeepTogether> runs = keepTogetherRuns(doc);
    const QList<QTextFrame*> frames = doc.rootFrame()->childFrames();
    for (int pass = 0; pass < 200; ++pass) {
        bool moved = false;
        for (QTextFrame* frame : frames) {
            auto* table = qobject_cast<QTextTable*>(frame);
            if (!table)
                continue;
            const QRectF box = doc.documentLayout()->frameBoundingRect(table);
            const int firstPage = int(box.top() / pageHeight);
            const int lastPage = int((box.bottom() - 1) / pageHeight);
            if (firstPage == lastPage || box.height() > pageHeight * 0.8)
                continue;
            // The heading and the line that announce a table go with it.
            QTextBlock lead = doc.findBlock(table->firstPosition() - 1);
            const auto announces = [](const QTextBlock& block) {
                return block.isValid() && (block.blockFormat().headingLevel() > 0 ||
                                           block.text().trimmed().endsWith(QLatin1Char(':')));
            };
            if (announces(lead) && lead.blockFormat().headingLevel() == 0 && announces(lead.previous()))
                lead = lead.previous();
            if (announces(lead) && box.bottom() - doc.documentLayout()->blockBoundingRect(lead).top() <= pageHeight * 0.8) {
                QTextBlockFormat format = lead.blockFormat();
                if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
                    continue;
                format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
                QTextCursor(lead).setBlockFormat(format);
            } else {
                QTextTableFormat format = table->format();
                if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
                    continue;
                format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
                table->setFormat(format);
            }
            moved = true;
            break;
        }
        for (const KeepTogether& run : runs) {
            if (moved)
                break;
            const QRectF top = doc.documentLayout()->blockBoundingRect(run.first);
            const QRectF bottom = doc.documentLayout()->blockBoundingRect(run.last);
            const int firstPage = int(top.top() / pageHeight);
            const int lastPage = int((bottom.bottom() - 1) / pageHeight);
            if (firstPage == lastPage || bottom.bottom() - top.top() > pageHeight * 0.8)
                continue;
            QTextBlockFormat format = run.first.blockFormat();
            if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
                continue;
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            QTextCursor(run.first).setBlockFormat(format);
            moved = true;
            break;  // everything after it moved too
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

void drawFooter(QPainter& painter, const PageGeometry& geometry, const QString& left, int pageNumber) {
    QFont font(QString::fromLatin1(kFontFamily), 8);
    painter.setFont(font);
    painter.setPen(QColor(0x55, 0x55, 0x55));
    painter.drawLine(geometry.footer.topLeft(), geometry.footer.topRight());
    const QRectF box = geometry.footer.adjusted(0, mmToDots(1.5), 0, 0);
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop, left);
    painter.drawText(box, Qt::AlignRight | Qt::AlignTop, QString::number(pageNumber));
}

void drawTitlePage(QPainter& painter, const PageGeometry& geometry, const QStringList& lines) {
    double y = geometry.text.top() + geometry.text.height() * 0.28;
    for (int i = 0; i < lines.size(); ++i) {
        QFont font(QString::fromLatin1(kFontFamily), i == 0 ? 28 : (i == 1 ? 18 : 11));
        font.setBold(i == 0);
        painter.setFont(font);
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
