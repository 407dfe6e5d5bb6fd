// The builder window: a numbered list of up to 254 MP3 files, loaded through an open dialog,
// cleared entry by entry with a double-click, and compiled into MP3DATA.MPD.
#pragma once

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QWidget>

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* owner = nullptr);

  // The list, in the grid's own row terms: row 0 is the header row, rows 1..EntryCount are
  // the entries; column 0 the number, 1 the file name, 2 the full path (empty: cleared).
  QString Cell(int column, int row) const;
  void SetCell(int column, int row, const QString& text);
  int RowCount() const;
  void SetRowCount(int rows);

  // Load: the paths in the order the open dialog gives them. A name already in the list (any
  // letter case) gets the new path; a new name is appended while there is room, else dropped.
  void LoadFiles(const QStringList& paths);

  void Button1Click();         // Load through OpenDialog1
  void StringGrid1DblClick();  // clear the path of the selection's top row
  void Button2Click();         // Compile

  QTableWidget* StringGrid1;
  QLabel* Panel1;
  QPushButton* Button1;
  QPushButton* Button2;
  QFileDialog* OpenDialog1;
  QLabel* Label1;
  int EntryCount;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The first entry (grid row 1..EntryCount) whose name matches in any letter case, or -1.
  int FindEntry(const QString& name) const;

  bool inertPress_ = false;  // the mouse went down outside the normal cells
};

extern TForm1* Form1;

// The standard error display: a modal error box headed with the application title.
void ShowError(QWidget* parent, const QString& message);
