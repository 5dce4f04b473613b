#pragma once
// The night table: one row per frame of a folder or a list of files, measured in a background
// thread as korvane-measure measures them (no image window, only the pixels measured), the
// rows added in batches as they come. Sorting by column, Enter or a double click opens the
// frame's image window, Report Selected writes the AAVSO report of each selected row, Save as
// CSV, and Watch Folder measures the frames that arrive later, with a desktop notification of
// an outburst when the settings ask for one.

#include "night/Night.h"
#include "night/Night_Host.h"

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class TFolder_Watcher;

// The rows as the table shows them; the texts come from the core's Night_Cell.
class TNight_Model : public QAbstractTableModel {
  Q_OBJECT

public:
  // The role the view sorts by: a number for the number columns, else the text.
  static constexpr int Sort_Role = Qt::UserRole + 1;

  TNight_Model(double Max_Error, char Decimal_Separator, QObject* Parent = nullptr);
  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

  // Appends the rows; a row for a file already in the table replaces it.
  void Add_Rows(std::vector<TNight_Row> New_Rows);
  const std::vector<TNight_Row>& Rows() const { return All_Rows; }

private:
  std::vector<TNight_Row> All_Rows;
  std::map<std::string, size_t> Row_Of_File;
  double Max_Error;
  char Separator;
};

class TForm_Night : public QWidget {
  Q_OBJECT

public:
  // A top-level window over Parent measuring Files; with Folder (Files then its frames, sorted)
  // Watch Folder can follow it.
  TForm_Night(TNight_Host& Host, const QStringList& Files, const QString& Folder, QWidget* Parent = nullptr);
  ~TForm_Night() override;

  QLabel* Label_Source = nullptr;
  QTableView* Table_Night = nullptr;
  QProgressBar* Progress_Night = nullptr;
  QPushButton* Button_Report_Selected = nullptr;
  QPushButton* Button_Save_CSV = nullptr;
  QPushButton* Button_Watch = nullptr;
  QLabel* Label_Status = nullptr;

  TNight_Model& Model() { return *Night_Model; }
  // Whether every file of the first list has its row.
  bool Filled() const;

  // Writes the report of each selected measured row; returns how many were written and says
  // so in the status line. A report that fails is said in a box naming the file.
  int Report_Selected();
  // Writes the table, in its shown order, as CSV to Path; a failure is said in a box.
  bool Save_CSV(const QString& Path);
  // Starts or stops following the folder.
  void Set_Watching(bool On);

signals:
  // A row came from a frame that arrived while watching (after any notification was sent).
  void Frame_Arrived(const QString& Path);
  // Every file of the first list has its row.
  void Night_Filled();

private:
  void Add_Batch(std::vector<TNight_Row> Batch, bool Arrived);
  void Notify_Outburst(const TNight_Row& Row);
  void Show_Progress();
  void Open_Current(const QModelIndex& Index);
  void Save_CSV_Click();
  // The worker thread: the list, then the folder's new frames while watching.
  void Work(std::vector<std::string> Files, TSettings Settings, std::unique_ptr<TTarget_Catalogue> Catalogue);

  TNight_Host& Host;
  TNight_Model* Night_Model = nullptr;
  QSortFilterProxyModel* Sorted = nullptr;
  double Max_Error = 1.0; // the night's, for the limits' errors
  size_t List_Count = 0;
  size_t Listed_Done = 0;
  QString Folder;

  std::unique_ptr<TFolder_Watcher> Watcher;
  std::mutex Lock;
  std::condition_variable Wake;
  std::atomic<bool> Stop_Asked{false};
  std::atomic<bool> Watching{false};
  std::thread Worker;
};
