// The builder window, headless: its texts and layout, Load, Clear by double-click and Compile.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "voicebank/Unit2.h"

namespace {

// What the message boxes that opened during an action showed; each was answered at once.
struct Boxes {
  int count = 0;
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

Boxes AnswerBoxes(const std::function<void()>& action) {
  Boxes seen;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&seen] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++seen.count;
      seen.title = box->windowTitle();
      seen.text = box->text();
      seen.icon = box->icon();
      box->accept();
    }
  });
  poll.start();
  action();
  return seen;
}

// Every cell of the grid, row by row, to show that an operation changed nothing.
QStringList Snapshot(const TForm1& form) {
  QStringList cells;
  for (int row = 0; row < form.RowCount(); ++row) {
    for (int column = 0; column < 3; ++column) {
      cells << form.Cell(column, row);
    }
  }
  return cells;
}

QStringList Paths(const QString& folder, int first, int count) {
  QStringList paths;
  for (int n = first; n < first + count; ++n) {
    paths << QStringLiteral("%1/voice%2.mp3").arg(folder).arg(n);
  }
  return paths;
}

void MakeFile(const QString& path, qint64 size) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  QVERIFY(file.resize(size));
}

// The point in the viewport of a cell given in grid rows.
QPoint CellCenter(const TForm1& form, int column, int row) {
  return form.StringGrid1->visualRect(form.StringGrid1->model()->index(row - 1, column)).center();
}

// Whether an in-place editor is open on a cell.
bool Editing(const TForm1& form) {
  for (const QLineEdit* editor : form.StringGrid1->viewport()->findChildren<QLineEdit*>()) {
    if (editor->isVisible()) {
      return true;
    }
  }
  return false;
}

}  // namespace

class BuilderWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void textsAndLayout();
  void load_data();
  void load();
  void doubleClickClearsWithoutEditing();
  void clearUsesTheTopRowOfTheSelection();
  void clickOnTheNumberColumnKeepsTheSelection();
  void compileWritesTheFileSilently_data();
  void compileWritesTheFileSilently();
  void compileErrorLeavesTheListUnchanged_data();
  void compileErrorLeavesTheListUnchanged();

 private:
  QTemporaryDir scratch_;
  QString home_;
};

void BuilderWindowTest::init() {
  QVERIFY(scratch_.isValid());
  home_ = QDir::currentPath();
  QVERIFY(QDir::setCurrent(scratch_.path()));
}

void BuilderWindowTest::cleanup() {
  QVERIFY(QDir::setCurrent(home_));
  QDir(scratch_.path()).removeRecursively();
  QDir().mkpath(scratch_.path());
}

void BuilderWindowTest::textsAndLayout() {
  TForm1 form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));

  QCOMPARE(form.windowTitle(), QStringLiteral("MP3数据文件生成"));
  QCOMPARE(QGuiApplication::applicationDisplayName(), QStringLiteral("MP3数据文件生成"));
  QCOMPARE(form.font().pixelSize(), 13);
  QCOMPARE(form.size(), QSize(760, 256));
  QCOMPARE(form.Panel1->text(), QStringLiteral(" 版本号：0.0"));
  QCOMPARE(form.Panel1->geometry(), QRect(0, 0, 760, 41));
  QCOMPARE(form.Button1->text(), QStringLiteral("装载"));
  QCOMPARE(form.Button1->geometry(), QRect(100, 7, 62, 26));
  QCOMPARE(form.Button2->text(), QStringLiteral("编译"));
  QCOMPARE(form.Button2->geometry(), QRect(163, 7, 62, 26));
  QCOMPARE(form.Label1->text(), QStringLiteral("双击文件选择项则清除文件"));
  QCOMPARE(form.Label1->geometry(), QRect(248, 11, 180, 16));
  QCOMPARE(form.Label1->palette().color(QPalette::WindowText), QColor(Qt::red));

  QCOMPARE(form.StringGrid1->geometry(), QRect(0, 41, 760, 215));
  QCOMPARE(form.StringGrid1->columnCount(), 3);
  QCOMPARE(form.StringGrid1->columnWidth(0), 30);
  QCOMPARE(form.StringGrid1->columnWidth(1), 120);
  QCOMPARE(form.StringGrid1->columnWidth(2), 584);
  QCOMPARE(form.StringGrid1->horizontalHeader()->sectionResizeMode(2), QHeaderView::Fixed);
  QCOMPARE(form.Cell(0, 0), QStringLiteral("序号"));
  QCOMPARE(form.Cell(1, 0), QStringLiteral("文件名"));
  QCOMPARE(form.Cell(2, 0), QStringLiteral("文件路径"));
  QCOMPARE(form.RowCount(), 2);
  QCOMPARE(form.EntryCount, 0);

  QCOMPARE(form.OpenDialog1->windowTitle(), QStringLiteral("MP3数据文件生成"));
  QCOMPARE(form.OpenDialog1->nameFilters(), QStringList{QStringLiteral("声音文件 (*.mp3)")});
  QCOMPARE(form.OpenDialog1->fileMode(), QFileDialog::ExistingFiles);
  QCOMPARE(form.OpenDialog1->defaultSuffix(), QStringLiteral("mp3"));
  QCOMPARE(QDir(form.OpenDialog1->directory()).canonicalPath(),
           QDir(QCoreApplication::applicationDirPath()).canonicalPath());
}

void BuilderWindowTest::load_data() {
  QTest::addColumn<QString>("typedInBlankRow");  // name cell of the blank start row
  QTest::addColumn<QStringList>("before");
  QTest::addColumn<QStringList>("loaded");
  QTest::addColumn<int>("entryCount");
  QTest::addColumn<QStringList>("rows");  // "row|number|name|path" that must hold afterwards

  QTest::newRow("append, first takes over the blank row")
      << QStringLiteral("typed") << QStringList{} << QStringList{"/a/one.mp3", "/b/two.mp3"} << 2
      << QStringList{"1|1|one.mp3|/a/one.mp3", "2|2|two.mp3|/b/two.mp3"};
  QTest::newRow("same name in any case replaces the path")
      << QString() << QStringList{"/x/a.mp3", "/x/b.mp3"} << QStringList{"/y/A.MP3"} << 2
      << QStringList{"1|1|a.mp3|/y/A.MP3", "2|2|b.mp3|/x/b.mp3"};
  QTest::newRow("first match wins within one load")
      << QString() << QStringList{} << QStringList{"/x/a.mp3", "/y/a.mp3", "/z/A.mp3"} << 1
      << QStringList{"1|1|a.mp3|/z/A.mp3"};
  QTest::newRow("a name like the header text is an entry")
      << QString() << QStringList{} << QStringList{"/h/文件名", "/h/序号"} << 2
      << QStringList{"0|序号|文件名|文件路径", "1|1|文件名|/h/文件名", "2|2|序号|/h/序号"};
  QTest::newRow("a name typed into the blank row is no entry")
      << QStringLiteral("a.mp3") << QStringList{} << QStringList{"/x/a.mp3"} << 1
      << QStringList{"1|1|a.mp3|/x/a.mp3"};
  QTest::newRow("250 entries and 10 new names: 4 appended, 6 dropped")
      << QString() << Paths("/old", 1, 250) << Paths("/new", 251, 10) << 254
      << QStringList{"250|250|voice250.mp3|/old/voice250.mp3",
                     "251|251|voice251.mp3|/new/voice251.mp3",
                     "254|254|voice254.mp3|/new/voice254.mp3"};
  QTest::newRow("full list still replaces by name")
      << QString() << Paths("/old", 1, 254) << QStringList{"/new/voice300.mp3", "/new/VOICE7.MP3"}
      << 254
      << QStringList{"7|7|voice7.mp3|/new/VOICE7.MP3", "254|254|voice254.mp3|/old/voice254.mp3"};
  QTest::newRow("replacement after the list filled up in the same load")
      << QString() << Paths("/old", 1, 253)
      << QStringList{"/new/x.mp3", "/new/y.mp3", "/new/voice3.mp3"} << 254
      << QStringList{"3|3|voice3.mp3|/new/voice3.mp3", "254|254|x.mp3|/new/x.mp3"};
}

void BuilderWindowTest::load() {
  QFETCH(QString, typedInBlankRow);
  QFETCH(QStringList, before);
  QFETCH(QStringList, loaded);
  QFETCH(int, entryCount);
  QFETCH(QStringList, rows);

  TForm1 form;
  form.SetCell(1, 1, typedInBlankRow);
  form.LoadFiles(before);
  form.LoadFiles(loaded);

  QCOMPARE(form.EntryCount, entryCount);
  QCOMPARE(form.RowCount(), entryCount + 1);
  for (const QString& expected : rows) {
    const QStringList parts = expected.split(QLatin1Char('|'));
    const int row = parts[0].toInt();
    QCOMPARE(form.Cell(0, row), parts[1]);
    QCOMPARE(form.Cell(1, row), parts[2]);
    QCOMPARE(form.Cell(2, row), parts[3]);
  }
  for (int row = 1; row <= form.EntryCount; ++row) {
    QCOMPARE(form.Cell(0, row), QString::number(row));
  }
}

void BuilderWindowTest::doubleClickClearsWithoutEditing() {
  TForm1 form;
  form.LoadFiles({"/a/one.mp3", "/a/two.mp3", "/a/three.mp3"});
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QWidget* viewport = form.StringGrid1->viewport();

  // On a cell that was not selected yet, then on the one just selected, and on a cleared one.
  for (int round = 0; round < 3; ++round) {
    const QPoint cell = CellCenter(form, 1, 2);
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cell);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, cell);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QVERIFY(!Editing(form));
    QCOMPARE(form.Cell(2, 2), QString());
    QCOMPARE(form.Cell(0, 2), QStringLiteral("2"));
    QCOMPARE(form.Cell(1, 2), QStringLiteral("two.mp3"));
    QCOMPARE(form.Cell(2, 1), QStringLiteral("/a/one.mp3"));
    QCOMPARE(form.Cell(2, 3), QStringLiteral("/a/three.mp3"));
    QCOMPARE(form.EntryCount, 3);
  }

  // Loading the cleared entry's name fills its path again under its old number.
  form.LoadFiles({"/b/TWO.mp3"});
  QCOMPARE(form.EntryCount, 3);
  QCOMPARE(form.Cell(2, 2), QStringLiteral("/b/TWO.mp3"));

  // Editing starts by F2 or by typing, never by the double-click above.
  form.StringGrid1->setCurrentCell(0, 1);
  QTest::keyClick(form.StringGrid1, Qt::Key_F2);
  QVERIFY(Editing(form));
}

void BuilderWindowTest::clearUsesTheTopRowOfTheSelection() {
  TForm1 form;
  form.LoadFiles({"/a/one.mp3", "/a/two.mp3", "/a/three.mp3", "/a/four.mp3"});
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));

  // Rows 2..4 selected, the current cell at the bottom of the range.
  form.StringGrid1->setCurrentCell(3, 2);
  form.StringGrid1->setRangeSelected(QTableWidgetSelectionRange(1, 1, 3, 2), true);
  // Below the last row: the click changes nothing, the selection decides.
  const QPoint below(10, form.StringGrid1->viewport()->height() - 5);
  QVERIFY(!form.StringGrid1->indexAt(below).isValid());
  QTest::mouseClick(form.StringGrid1->viewport(), Qt::LeftButton, {}, below);
  QTest::mouseDClick(form.StringGrid1->viewport(), Qt::LeftButton, {}, below);

  QCOMPARE(form.Cell(2, 1), QStringLiteral("/a/one.mp3"));
  QCOMPARE(form.Cell(2, 2), QString());
  QCOMPARE(form.Cell(2, 3), QStringLiteral("/a/three.mp3"));
  QCOMPARE(form.Cell(2, 4), QStringLiteral("/a/four.mp3"));
  QCOMPARE(form.EntryCount, 4);
}

// The number column is fixed: a click there selects nothing, so a double-click on a number
// clears the row that was selected before, not the row clicked.
void BuilderWindowTest::clickOnTheNumberColumnKeepsTheSelection() {
  TForm1 form;
  form.LoadFiles({"/a/one.mp3", "/a/two.mp3", "/a/three.mp3", "/a/four.mp3"});
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QWidget* viewport = form.StringGrid1->viewport();

  QTest::mouseClick(viewport, Qt::LeftButton, {}, CellCenter(form, 1, 2));
  QTest::mouseClick(viewport, Qt::LeftButton, {}, CellCenter(form, 0, 4));
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, CellCenter(form, 0, 4));

  QCOMPARE(form.Cell(2, 2), QString());
  QCOMPARE(form.Cell(2, 4), QStringLiteral("/a/four.mp3"));
  QCOMPARE(form.Cell(2, 1), QStringLiteral("/a/one.mp3"));
  QCOMPARE(form.Cell(2, 3), QStringLiteral("/a/three.mp3"));
}

void BuilderWindowTest::compileWritesTheFileSilently_data() {
  QTest::addColumn<QStringList>("files");  // "name:size" made in the working directory
  QTest::addColumn<int>("cleared");        // row cleared before compiling, 0 for none
  QTest::addColumn<qint64>("fileSize");

  QTest::newRow("empty list, text typed into the blank row") << QStringList{} << 0 << qint64(4096);
  QTest::newRow("two files") << QStringList{"one.mp3:1000", "two.mp3:500"} << 0 << qint64(5596);
  QTest::newRow("cleared middle entry")
      << QStringList{"one.mp3:1000", "two.mp3:700", "three.mp3:500"} << 2 << qint64(5596);
}

void BuilderWindowTest::compileWritesTheFileSilently() {
  QFETCH(QStringList, files);
  QFETCH(int, cleared);
  QFETCH(qint64, fileSize);

  TForm1 form;
  form.SetCell(2, 1, QStringLiteral("typed.mp3"));
  QStringList paths;
  for (const QString& file : files) {
    const QString path = QDir::current().absoluteFilePath(file.section(QLatin1Char(':'), 0, 0));
    MakeFile(path, file.section(QLatin1Char(':'), 1).toLongLong());
    paths << path;
  }
  form.LoadFiles(paths);
  if (cleared != 0) {
    form.StringGrid1->setCurrentCell(cleared - 1, 1);
    form.StringGrid1DblClick();
  }
  const QStringList list = Snapshot(form);

  const Boxes boxes = AnswerBoxes([&form] { form.Button2->click(); });
  QCOMPARE(boxes.count, 0);
  QFile voiceBank(QStringLiteral("MP3DATA.MPD"));
  QVERIFY(voiceBank.open(QIODevice::ReadOnly));
  const QByteArray bytes = voiceBank.readAll();
  QCOMPARE(bytes.size(), fileSize);
  QCOMPARE(int(bytes.at(16)), form.EntryCount);
  QCOMPARE(Snapshot(form), list);
}

void BuilderWindowTest::compileErrorLeavesTheListUnchanged_data() {
  QTest::addColumn<QString>("offending");  // file name of the entry that makes the compile fail
  QTest::addColumn<qint64>("size");        // its size; -1: it does not exist
  QTest::addColumn<QString>("message");    // the box's text, or a part of it

  QTest::newRow("over capacity") << QStringLiteral("big.mp3") << qint64(4096000)
                                 << QStringLiteral("文件大小超过容量");
  QTest::newRow("missing file") << QStringLiteral("gone.mp3") << qint64(-1)
                                << QStringLiteral("gone.mp3");
}

void BuilderWindowTest::compileErrorLeavesTheListUnchanged() {
  QFETCH(QString, offending);
  QFETCH(qint64, size);
  QFETCH(QString, message);

  const QString one = QDir::current().absoluteFilePath(QStringLiteral("one.mp3"));
  const QString bad = QDir::current().absoluteFilePath(offending);
  MakeFile(one, 10);
  if (size >= 0) {
    MakeFile(bad, size);
  }
  MakeFile(QStringLiteral("MP3DATA.MPD"), 123);

  TForm1 form;
  form.show();
  form.LoadFiles({one, bad});
  const QStringList list = Snapshot(form);

  const Boxes boxes = AnswerBoxes([&form] { form.Button2->click(); });
  QCOMPARE(boxes.count, 1);
  QCOMPARE(boxes.title, QStringLiteral("MP3数据文件生成"));
  QCOMPARE(boxes.icon, QMessageBox::Critical);
  QVERIFY2(boxes.text.contains(message), qPrintable(boxes.text));
  QCOMPARE(Snapshot(form), list);
  QCOMPARE(form.EntryCount, 2);
  QCOMPARE(QFileInfo(QStringLiteral("MP3DATA.MPD")).size(), qint64(123));

  // Clearing the offending entry lets the next compile through.
  form.StringGrid1->setCurrentCell(1, 2);
  form.StringGrid1DblClick();
  QCOMPARE(AnswerBoxes([&form] { form.Button2->click(); }).count, 0);
  QCOMPARE(QFileInfo(QStringLiteral("MP3DATA.MPD")).size(), qint64(4096 + 10));
}

QTEST_MAIN(BuilderWindowTest)
#include "BuilderWindowTest.moc"
