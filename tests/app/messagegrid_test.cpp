// The message grid: its row-0-is-the-header addressing, the stable sort by mark, mouse
// addressing, and the painting rules checked on rendered pixels.
#include "messagegrid.h"

#include <QApplication>
#include <QHash>
#include <QHeaderView>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <functional>

namespace {

struct Message {
  QString from, to, subject, mark;
};

void fill(TMessageGrid& grid, const QList<Message>& messages) {
  grid.setRowCount(int(messages.size()) + 1);
  for (int i = 0; i < messages.size(); ++i) {
    const int row = i + 1;
    grid.setCell(idColumn, row, QString::number(row));
    grid.setCell(fromColumn, row, messages[i].from);
    grid.setCell(toColumn, row, messages[i].to);
    grid.setCell(subjectColumn, row, messages[i].subject);
    grid.setCell(markColumn, row, messages[i].mark);
  }
}

// The cell rectangle of grid cell (column, row >= 1) in the coordinates of the grid widget.
QRect cellRect(const TMessageGrid& grid, int column, int row) {
  const QRect inViewport = grid.visualRect(grid.model()->index(row - 1, column));
  return QRect(grid.viewport()->mapTo(&grid, inViewport.topLeft()), inViewport.size());
}

QRect headerRect(const TMessageGrid& grid, int column) {
  const QHeaderView* header = grid.horizontalHeader();
  const QRect inHeader(header->sectionViewportPosition(column), 0, header->sectionSize(column),
                       header->height());
  // Without the grid lines right and below, like a data cell's rectangle.
  return QRect(header->viewport()->mapTo(&grid, inHeader.topLeft()), inHeader.size() - QSize(1, 1));
}

// The colour most pixels of the cell have: its background, whatever the text covers.
QColor backgroundOf(const QImage& image, const QRect& rect) {
  QHash<QRgb, int> counts;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x) {
      ++counts[image.pixel(x, y)];
    }
  }
  QRgb best = 0;
  int bestCount = -1;
  for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
    if (it.value() > bestCount) {
      best = it.key();
      bestCount = it.value();
    }
  }
  return QColor::fromRgb(best);
}

int countPixels(const QImage& image, const QRect& rect, const std::function<bool(QColor)>& test) {
  int count = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x) {
      count += test(image.pixelColor(x, y)) ? 1 : 0;
    }
  }
  return count;
}

bool dark(QColor c) { return qGray(c.rgb()) < 60; }
bool light(QColor c) { return qGray(c.rgb()) > 200; }

QImage render(TMessageGrid& grid) {
  grid.resize(820, 260);
  grid.show();
  if (!QTest::qWaitForWindowExposed(&grid)) {
    return {};
  }
  return grid.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

Q_DECLARE_METATYPE(CellLook)

class MessageGridTest : public QObject {
  Q_OBJECT

 private slots:
  void newGridHasOnlyTheHeaderRow() {
    TMessageGrid grid;
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QCOMPARE(grid.rowCount(), 1);
    QCOMPARE(grid.model()->rowCount(), 0);
    const QStringList headers{"ID", "From", "To", "Subject", "Remove"};
    const QList<int> widths{1, 180, 180, 300, 50};
    for (int column = 0; column < gridColumns; ++column) {
      QCOMPARE(grid.cell(column, 0), headers[column]);
      QCOMPARE(grid.model()->headerData(column, Qt::Horizontal).toString(), headers[column]);
      QCOMPARE(grid.gridColumnWidth(column), widths[column]);  // the ID column stays 1 wide
    }
    QCOMPARE(grid.horizontalHeader()->height(), 21);
    QVERIFY(grid.verticalHeader()->isHidden());
  }

  void rowsAndCells() {
    TMessageGrid grid;
    fill(grid, {{"a@x", "me@y", "one", ""},
                {"b@x", "me@y", "two", "Sub"},
                {"c@x", "me@y", "three", "From"}});
    QCOMPARE(grid.rowCount(), 4);
    QCOMPARE(grid.cell(subjectColumn, 2), QStringLiteral("two"));
    QCOMPARE(grid.model()->index(1, subjectColumn).data().toString(), QStringLiteral("two"));
    QCOMPARE(grid.rowHeight(0), 21);

    // Row 0 addresses the header texts.
    grid.setCell(toColumn, 0, QStringLiteral("Recipients"));
    QCOMPARE(grid.cell(toColumn, 0), QStringLiteral("Recipients"));
    QCOMPARE(grid.model()->headerData(toColumn, Qt::Horizontal).toString(),
             QStringLiteral("Recipients"));

    // Shrinking drops the last rows and keeps the first; growing adds empty rows.
    grid.setRowCount(3);
    QCOMPARE(grid.rowCount(), 3);
    QCOMPARE(grid.cell(subjectColumn, 2), QStringLiteral("two"));
    QCOMPARE(grid.cell(subjectColumn, 3), QString());
    grid.setRowCount(4);
    for (int column = 0; column < gridColumns; ++column) {
      QCOMPARE(grid.cell(column, 3), QString());
    }
    // Never below the header row, which keeps its texts.
    grid.setRowCount(0);
    QCOMPARE(grid.rowCount(), 1);
    QCOMPARE(grid.cell(fromColumn, 0), QStringLiteral("From"));

    // Cells outside the grid read empty and are not created by writing.
    grid.setCell(fromColumn, 5, QStringLiteral("x"));
    grid.setCell(gridColumns, 0, QStringLiteral("x"));
    QCOMPARE(grid.rowCount(), 1);
    QCOMPARE(grid.cell(fromColumn, 5), QString());
    QCOMPARE(grid.cell(-1, 0), QString());
  }

  void sortByMarkIsStable_data() {
    QTest::addColumn<QStringList>("marks");  // the marks of rows 1..N; row i is message i
    QTest::addColumn<QList<int>>("order");   // the messages of rows 1..N after the sort
    QTest::newRow("mixed") << QStringList{"To", "", "Sub", "From", "", "To", "From"}
                           << QList<int>{2, 5, 4, 7, 3, 1, 6};
    QTest::newRow("already sorted")
        << QStringList{"", "From", "Sub", "To"} << QList<int>{1, 2, 3, 4};
    QTest::newRow("reversed") << QStringList{"To", "Sub", "From", ""} << QList<int>{4, 3, 2, 1};
    QTest::newRow("all marked alike") << QStringList{"Sub", "Sub", "Sub"} << QList<int>{1, 2, 3};
    QTest::newRow("one row") << QStringList{"To"} << QList<int>{1};
    QTest::newRow("no rows") << QStringList{} << QList<int>{};
    // Enough rows that an unstable sort would reorder equal marks.
    const QStringList cycle{"To", "", "Sub", "From", "Sub", ""};
    QStringList many;
    for (int i = 0; i < 60; ++i) {
      many.append(cycle[(i * 7) % cycle.size()]);
    }
    QList<int> manyOrder;
    for (const QString mark : {"", "From", "Sub", "To"}) {
      for (int i = 0; i < many.size(); ++i) {
        if (many[i] == mark) {
          manyOrder.append(i + 1);
        }
      }
    }
    QTest::newRow("many rows") << many << manyOrder;
  }

  void sortByMarkIsStable() {
    QFETCH(QStringList, marks);
    QFETCH(QList<int>, order);
    TMessageGrid grid;
    QList<Message> messages;
    for (int i = 0; i < marks.size(); ++i) {
      const QString n = QString::number(i + 1);
      messages.append({"from" + n, "to" + n, "subject" + n, marks[i]});
    }
    fill(grid, messages);
    if (!marks.isEmpty()) {
      grid.selectRow(0);  // message 1
    }
    grid.sortByMark();
    QCOMPARE(grid.rowCount(), int(order.size()) + 1);
    QCOMPARE(grid.cell(subjectColumn, 0), QStringLiteral("Subject"));
    for (int row = 1; row <= order.size(); ++row) {
      const int message = order[row - 1];
      const QString n = QString::number(message);
      QCOMPARE(grid.cell(idColumn, row), n);  // whole rows move
      QCOMPARE(grid.cell(fromColumn, row), "from" + n);
      QCOMPARE(grid.cell(toColumn, row), "to" + n);
      QCOMPARE(grid.cell(subjectColumn, row), "subject" + n);
      QCOMPARE(grid.cell(markColumn, row), marks[message - 1]);
      QCOMPARE(grid.isRowSelected(row), message == 1);  // the selection follows its message
    }
  }

  void resizedColumnsAreReported() {
    TMessageGrid grid;
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    grid.horizontalHeader()->resizeSection(subjectColumn, 123);
    QCOMPARE(grid.gridColumnWidth(subjectColumn), 123);
    grid.setGridColumnWidth(fromColumn, 77);
    QCOMPARE(grid.horizontalHeader()->sectionSize(fromColumn), 77);
    grid.setGridColumnWidth(idColumn, 1);
    QCOMPARE(grid.gridColumnWidth(idColumn), 1);
  }

  // Dragging a column border in row 0 resizes the column.
  void dragResizesColumn() {
    TMessageGrid grid;
    grid.resize(820, 200);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QHeaderView* header = grid.horizontalHeader();
    const int border =
        header->sectionViewportPosition(toColumn) + header->sectionSize(toColumn) - 1;
    const int y = header->height() / 2;
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(border, y));
    QMouseEvent move(QEvent::MouseMove, QPointF(border + 40, y),
                     header->viewport()->mapToGlobal(QPointF(border + 40, y)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &move);
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(border + 40, y));
    QCOMPARE(grid.gridColumnWidth(toColumn), 220);
  }

  void mouseAddressesGridCells() {
    TMessageGrid grid;
    fill(grid,
         {{"a@x", "me@y", "one", ""}, {"b@x", "me@y", "two", ""}, {"c@x", "me@y", "three", ""}});
    grid.resize(820, 200);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QSignalSpy clicks(&grid, &TMessageGrid::gridClick);
    QSignalSpy doubleClicks(&grid, &TMessageGrid::gridDblClick);

    const QPoint toOfFirst = grid.visualRect(grid.model()->index(0, toColumn)).center();
    QCOMPARE(grid.rowAtPoint(toOfFirst), 1);
    QCOMPARE(grid.columnAtPoint(toOfFirst), int(toColumn));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, toOfFirst);
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(clicks[0], (QList<QVariant>{int(toColumn), 1}));
    QCOMPARE(grid.currentRow(), 1);
    QVERIFY(grid.isRowSelected(1));

    // Ctrl adds single rows to the selection, Shift a range.
    const QPoint subjectOfThird = grid.visualRect(grid.model()->index(2, subjectColumn)).center();
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::ControlModifier, subjectOfThird);
    QCOMPARE(clicks.last(), (QList<QVariant>{int(subjectColumn), 3}));
    QVERIFY(grid.isRowSelected(1));
    QVERIFY(!grid.isRowSelected(2));
    QVERIFY(grid.isRowSelected(3));
    QCOMPARE(grid.currentRow(), 3);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::ShiftModifier, toOfFirst);
    QVERIFY(grid.isRowSelected(1) && grid.isRowSelected(2) && grid.isRowSelected(3));

    const QPoint fromOfSecond = grid.visualRect(grid.model()->index(1, fromColumn)).center();
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, fromOfSecond);  // the first click
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, fromOfSecond);
    QCOMPARE(doubleClicks.size(), 1);
    QCOMPARE(doubleClicks[0], (QList<QVariant>{int(fromColumn), 2}));

    // Below the last row and right of the last column there is no cell.
    const QRect last = grid.visualRect(grid.model()->index(2, markColumn));
    for (const QPoint outside :
         {QPoint(toOfFirst.x(), last.bottom() + 5), QPoint(last.right() + 5, toOfFirst.y())}) {
      QCOMPARE(grid.rowAtPoint(outside), -1);
      QCOMPARE(grid.columnAtPoint(outside), -1);
    }
    QVERIFY(!grid.isRowSelected(0));
    QVERIFY(!grid.isRowSelected(4));
  }

  void paintingRules() {
    TMessageGrid grid;
    fill(grid, {
                   {"alice@example.com", "bob@example.com", "Hello", ""},        // 1 unmarked
                   {"spam@example.com", "bob@example.com", "Offer", "From"},     // 2
                   {"carol@example.com", "list@example.com", "Digest", "To"},    // 3
                   {"dave@example.com", "bob@example.com", "Win money", "Sub"},  // 4
                   {"ERROR", "ERROR", "ERROR", "From"},                     // 5 unreadable header
                   {"eve@example.com", "bob@example.com", "Cheap", "Sub"},  // 6 selected
                   {QString(200, 'W'), "", "", ""},                         // 7 overlong sender
               });
    grid.selectRow(5);
    const QImage image = render(grid);
    QVERIFY(!image.isNull());

    const QColor base = grid.palette().color(QPalette::Active, QPalette::Base);
    const QColor highlight = grid.palette().color(QPalette::Active, QPalette::Highlight);
    const QColor button = grid.palette().color(QPalette::Active, QPalette::Button);
    const QColor yellow(255, 255, 0);
    QVERIFY(base != highlight && base != button && base != yellow && highlight != yellow);

    // Expected background of columns From, To, Subject, Remove per row:
    // B base, Y yellow, H highlight.
    const QStringList expected{"BBBB", "YBBB", "BYBB", "BBYB", "YBBB", "HHHH", "BBBB"};
    for (int row = 1; row <= expected.size(); ++row) {
      for (int column = fromColumn; column <= markColumn; ++column) {
        const QChar look = expected[row - 1][column - 1];
        const QColor want = look == 'Y' ? yellow : look == 'H' ? highlight : base;
        const QColor got = backgroundOf(image, cellRect(grid, column, row));
        QVERIFY2(got == want, qPrintable(QStringLiteral("row %1 column %2: %3, expected %4")
                                             .arg(row)
                                             .arg(column)
                                             .arg(got.name(), want.name())));
      }
    }
    for (int column = fromColumn; column <= markColumn; ++column) {
      QCOMPARE(backgroundOf(image, headerRect(grid, column)), button);
    }

    // Text: black on the grid background, on yellow and in the header; white on the
    // highlight.
    QVERIFY(countPixels(image, cellRect(grid, fromColumn, 1), dark) > 0);
    QVERIFY(countPixels(image, cellRect(grid, fromColumn, 2), dark) > 0);
    QVERIFY(countPixels(image, headerRect(grid, subjectColumn), dark) > 0);
    QVERIFY(countPixels(image, cellRect(grid, fromColumn, 6), light) > 0);
    QCOMPARE(countPixels(image, cellRect(grid, fromColumn, 6), dark), 0);

    // The text starts 1 pixel right of the cell's left edge.
    const QRect subject = cellRect(grid, subjectColumn, 1);
    int firstInk = -1;
    for (int x = subject.left(); x <= subject.right() && firstInk < 0; ++x) {
      if (countPixels(image, QRect(x, subject.top(), 1, subject.height()), dark) > 0) {
        firstInk = x - subject.left();
      }
    }
    QVERIFY2(firstInk >= 1 && firstInk <= 3, qPrintable(QString::number(firstInk)));

    // The overlong sender is clipped to its cell: the empty To cell beside it stays blank.
    const QRect besideLong = cellRect(grid, toColumn, 7);
    QCOMPARE(countPixels(image, besideLong, [&](QColor c) { return c != base; }), 0);
  }

  // A dark theme: light text on the dark base and button colours, black on yellow.
  void darkThemesKeepEveryTextReadable() {
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(32, 32, 32));
    dark.setColor(QPalette::Text, QColor(240, 240, 240));
    dark.setColor(QPalette::Button, QColor(48, 48, 48));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(40, 90, 160));
    auto isLight = [](QColor c) { return c.lightness() > 180; };
    auto isDark = [](QColor c) { return c.lightness() < 70; };
    for (CellLook look : {CellLook::plain, CellLook::header, CellLook::selected, CellLook::marked}) {
      QImage image(80, 24, QImage::Format_RGB32);
      {
        QPainter painter(&image);
        paintGridCellInPalette(painter, QRect(0, 0, 80, 24), QStringLiteral("WWWWWWWW"), look, dark);
      }
      const bool onYellow = look == CellLook::marked;
      const int ink = countPixels(image, QRect(0, 0, 80, 24), onYellow ? isDark : isLight);
      QVERIFY2(ink > 20, qPrintable(QString::number(int(look))));
    }
  }

  // The colour-only form takes the background for plain cells and the application's
  // button and highlight colours.
  void paintGridCellFills_data() {
    QTest::addColumn<CellLook>("look");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<bool>("whiteText");
    const QPalette palette = QApplication::palette();
    QTest::newRow("header") << CellLook::header << palette.color(QPalette::Active, QPalette::Button)
                            << false;
    QTest::newRow("plain") << CellLook::plain << QColor(0, 200, 200) << false;
    QTest::newRow("selected") << CellLook::selected
                              << palette.color(QPalette::Active, QPalette::Highlight) << true;
    QTest::newRow("marked") << CellLook::marked << QColor(255, 255, 0) << false;
  }

  void paintGridCellFills() {
    QFETCH(CellLook, look);
    QFETCH(QColor, fill);
    QFETCH(bool, whiteText);
    QImage image(60, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QRect rect(5, 5, 40, 20);
    {
      QPainter painter(&image);
      paintGridCell(painter, rect, QStringLiteral("HHHHHHHHHHHHHHHH"), look, QColor(0, 200, 200));
    }
    QCOMPARE(image.pixelColor(rect.right(), rect.top()), fill);
    QCOMPARE(image.pixelColor(rect.left(), rect.bottom()), fill);
    // Nothing outside the rectangle, though the text is longer than it.
    QCOMPARE(countPixels(image, QRect(rect.right() + 1, 0, 60 - rect.right() - 1, 30),
                         [](QColor c) { return c != Qt::red; }),
             0);
    QVERIFY(countPixels(image, rect, whiteText ? light : dark) > 0);
  }
};

QTEST_MAIN(MessageGridTest)
#include "messagegrid_test.moc"
