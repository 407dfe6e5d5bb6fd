#include "voicebank/Unit2.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPalette>
#include <QVBoxLayout>

#include <exception>
#include <string>
#include <vector>

#include "voicebank/VoiceBank.h"

// How the list maps onto QTableWidget
// -----------------------------------
// The list is a grid with one fixed header row (row 0) and one fixed number column (column 0);
// entries are rows 1..EntryCount. QTableWidget gets:
//   - grid row 0 as the horizontal header ("序号", "文件名", "文件路径"), so that it cannot be
//     selected, edited or scrolled away, just like a fixed row;
//   - grid row r >= 1 as table row r - 1, so the table holds RowCount() - 1 rows;
//   - column 0 as an ordinary column whose cells are neither selectable nor editable and are
//     painted like header cells, and where a click moves neither the current cell nor the
//     selection (nor does one on the empty area beside or below the cells); the vertical
//     header is hidden, since this column replaces it.
// Cell()/SetCell()/RowCount()/SetRowCount() speak in grid rows, and everything else in this
// unit uses only them, so Load, Clear and Compile read exactly like the list they work on.
// The cells of columns 1 and 2 can be edited in place by typing, F2, or a click on a cell that
// is already selected, but never by a double-click: a double-click clears a path.

TForm1* Form1 = nullptr;

namespace {

const QString kTitle = QStringLiteral("MP3数据文件生成");

constexpr int kClientWidth = 760;
constexpr int kClientHeight = 256;
constexpr int kPanelHeight = 41;

constexpr int kNumberColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kPathColumn = 2;

QTableWidgetItem* NewCell(int column, const QBrush& fixedBackground) {
  auto* item = new QTableWidgetItem;
  if (column == kNumberColumn) {
    item->setFlags(Qt::ItemIsEnabled);
    item->setBackground(fixedBackground);
  } else {
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
  }
  return item;
}

}  // namespace

TForm1::TForm1(QWidget* owner)
    : QWidget(owner),
      StringGrid1(new QTableWidget(this)),
      Panel1(new QLabel(this)),
      Button1(new QPushButton(Panel1)),
      Button2(new QPushButton(Panel1)),
      OpenDialog1(new QFileDialog(this)),
      Label1(new QLabel(Panel1)),
      EntryCount(0) {
  // The window as designed.
  setWindowTitle(kTitle);
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(13);
  setFont(font);
  resize(kClientWidth, kClientHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(Panel1);
  layout->addWidget(StringGrid1);

  Panel1->setText(QStringLiteral(" 版本号：0.0"));
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Panel1->setFixedHeight(kPanelHeight);

  Button1->setText(QStringLiteral("装载"));
  Button1->setGeometry(100, 7, 62, 26);
  Button2->setText(QStringLiteral("编译"));
  Button2->setGeometry(163, 7, 62, 26);

  Label1->setText(QStringLiteral("双击文件选择项则清除文件"));
  Label1->setGeometry(248, 11, 180, 16);
  QPalette hint = Label1->palette();
  hint.setColor(QPalette::WindowText, Qt::red);
  Label1->setPalette(hint);

  StringGrid1->setColumnCount(3);
  QHeaderView* header = StringGrid1->horizontalHeader();
  header->setDefaultSectionSize(30);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setSectionResizeMode(QHeaderView::Fixed);  // the user does not size columns
  StringGrid1->setColumnWidth(kNumberColumn, 30);
  StringGrid1->setColumnWidth(kNameColumn, 120);
  StringGrid1->setColumnWidth(kPathColumn, 584);
  StringGrid1->verticalHeader()->hide();
  for (int column = 0; column < 3; ++column) {
    StringGrid1->setHorizontalHeaderItem(column, new QTableWidgetItem);
  }
  StringGrid1->setSelectionMode(QAbstractItemView::ContiguousSelection);
  StringGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
  StringGrid1->setEditTriggers(QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::AnyKeyPressed |
                               QAbstractItemView::SelectedClicked);
  SetRowCount(2);
  StringGrid1->setCurrentCell(0, kNameColumn);
  StringGrid1->viewport()->installEventFilter(this);
  header->viewport()->installEventFilter(this);

  setTabOrder(StringGrid1, Button1);
  setTabOrder(Button1, Button2);
  StringGrid1->setFocus();

  OpenDialog1->setDefaultSuffix(QStringLiteral("mp3"));
  OpenDialog1->setNameFilter(QStringLiteral("声音文件 (*.mp3)"));
  OpenDialog1->setOption(QFileDialog::HideNameFilterDetails);
  OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);

  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);

  // Start-up.
  EntryCount = 0;
  QGuiApplication::setApplicationDisplayName(windowTitle());
  OpenDialog1->setWindowTitle(windowTitle());
  OpenDialog1->setDirectory(QCoreApplication::applicationDirPath());
  SetCell(kNumberColumn, 0, QStringLiteral("序号"));
  SetCell(kNameColumn, 0, QStringLiteral("文件名"));
  SetCell(kPathColumn, 0, QStringLiteral("文件路径"));
}

QString TForm1::Cell(int column, int row) const {
  const QTableWidgetItem* item =
      row == 0 ? StringGrid1->horizontalHeaderItem(column) : StringGrid1->item(row - 1, column);
  return item != nullptr ? item->text() : QString();
}

void TForm1::SetCell(int column, int row, const QString& text) {
  QTableWidgetItem* item =
      row == 0 ? StringGrid1->horizontalHeaderItem(column) : StringGrid1->item(row - 1, column);
  if (item != nullptr) {
    item->setText(text);
  }
}

int TForm1::RowCount() const {
  return StringGrid1->rowCount() + 1;
}

void TForm1::SetRowCount(int rows) {
  const int first = StringGrid1->rowCount();
  StringGrid1->setRowCount(rows - 1);
  const QBrush fixed = palette().button();
  for (int row = first; row < rows - 1; ++row) {
    for (int column = 0; column < StringGrid1->columnCount(); ++column) {
      StringGrid1->setItem(row, column, NewCell(column, fixed));
    }
  }
}

int TForm1::FindEntry(const QString& name) const {
  for (int row = 1; row <= EntryCount; ++row) {
    if (Cell(kNameColumn, row).compare(name, Qt::CaseInsensitive) == 0) {
      return row;
    }
  }
  return -1;
}

void TForm1::LoadFiles(const QStringList& paths) {
  for (const QString& path : paths) {
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (const int row = FindEntry(name); row >= 0) {
      SetCell(kPathColumn, row, path);
      continue;
    }
    if (EntryCount >= sonpak::kMaxEntries) {
      continue;  // the list is full: dropped without a word
    }
    ++EntryCount;
    SetRowCount(EntryCount + 1);
    SetCell(kNumberColumn, EntryCount, QString::asprintf("%i", EntryCount));
    SetCell(kNameColumn, EntryCount, name);
    SetCell(kPathColumn, EntryCount, path);
  }
}

void TForm1::Button1Click() {
  if (OpenDialog1->exec() != QDialog::Accepted) {
    return;
  }
  LoadFiles(OpenDialog1->selectedFiles());
}

void TForm1::StringGrid1DblClick() {
  // The grid always has a selection of at least the current cell; Qt's may be empty (after the
  // arrow keys moved into the number column, say), and then the current cell stands for it.
  int top = StringGrid1->currentRow();
  const QList<QTableWidgetSelectionRange> ranges = StringGrid1->selectedRanges();
  if (!ranges.isEmpty()) {
    top = ranges.front().topRow();
    for (const QTableWidgetSelectionRange& range : ranges) {
      top = std::min(top, range.topRow());
    }
  }
  if (top >= 0) {
    SetCell(kPathColumn, top + 1, QString());
  }
}

void TForm1::Button2Click() {
  try {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(EntryCount));
    for (int row = 1; row <= EntryCount; ++row) {
      paths.push_back(QFile::encodeName(Cell(kPathColumn, row)).toStdString());
    }
    sonpak::CompileVoiceBank(EntryCount, paths);
  } catch (const std::exception& error) {
    ShowError(this, QString::fromUtf8(error.what()));
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::MouseButtonDblClick &&
      (watched == StringGrid1->viewport() ||
       watched == StringGrid1->horizontalHeader()->viewport())) {
    StringGrid1DblClick();
  }
  // Only a normal cell takes the current cell and the selection: a press on the fixed number
  // column or on the empty area beside or below the cells, and the release and moves that
  // follow it, leave both where they were.
  if (watched == StringGrid1->viewport()) {
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
      const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
      const QModelIndex index = StringGrid1->indexAt(at);
      inertPress_ = !index.isValid() || index.column() == kNumberColumn;
    }
    if (inertPress_ && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick ||
                        type == QEvent::MouseMove || type == QEvent::MouseButtonRelease)) {
      if (type == QEvent::MouseButtonRelease) {
        inertPress_ = false;
      }
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void ShowError(QWidget* parent, const QString& message) {
  QMessageBox::critical(parent, QGuiApplication::applicationDisplayName(), message);
}
