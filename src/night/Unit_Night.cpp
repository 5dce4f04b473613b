#include "night/Unit_Night.h"

#include "night/Folder_Watcher.h"
#include "text/Output_File.h"

#include <QBrush>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>
#include <QVariantMap>

#include <chrono>
#include <limits>

namespace {

// A batch goes to the table when it holds this many rows or is this old, so that a folder of
// thousands of frames fills in steps without a repaint per row.
constexpr size_t Batch_Rows = 64;
constexpr auto Batch_Age = std::chrono::milliseconds(100);

QPushButton* New_Button(const char* Name, const QString& Caption, QWidget* Parent) {
  auto* Button = new QPushButton(Caption, Parent);
  Button->setObjectName(QLatin1String(Name));
  Button->setAccessibleDescription(QLatin1String(Name));
  return Button;
}

QLabel* New_Label(const char* Name, QWidget* Parent) {
  auto* Label = new QLabel(Parent);
  Label->setObjectName(QLatin1String(Name));
  Label->setAccessibleDescription(QLatin1String(Name));
  return Label;
}

QString Text_Of(const std::string& Text) {
  return QString::fromStdString(Text);
}

} // namespace

// -----------------------------------------------------------------------------------------

TNight_Model::TNight_Model(double Max_Error_, char Decimal_Separator, QObject* Parent)
    : QAbstractTableModel(Parent), Max_Error(Max_Error_), Separator(Decimal_Separator) {}

int TNight_Model::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(All_Rows.size());
}

int TNight_Model::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : Night_Column_Count;
}

QVariant TNight_Model::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount())
    return {};
  const TNight_Row& Row = All_Rows[static_cast<size_t>(Index.row())];
  const auto Column = static_cast<TNight_Column>(Index.column());
  switch (Role) {
  case Qt::DisplayRole:
  case Qt::AccessibleTextRole:
    return Text_Of(Night_Cell(Row, Column, Max_Error, Separator));
  case Qt::ToolTipRole:
    if (Column == TNight_Column::File)
      return Text_Of(Row.Result.File);
    if (Column == TNight_Column::Problems || Column == TNight_Column::State)
      return Text_Of(Row.Problems);
    return {};
  case Qt::ForegroundRole:
    if (Column == TNight_Column::State && Shows_Outburst(Row.Result))
      return QBrush(Qt::red);
    return {};
  case Sort_Role:
    if (Column == TNight_Column::JD || Column == TNight_Column::Magnitude || Column == TNight_Column::Error ||
        Column == TNight_Column::Air_Mass)
      // Empty cells go last.
      return Night_Sort_Number(Row, Column).value_or(std::numeric_limits<double>::infinity());
    return Text_Of(Night_Cell(Row, Column, Max_Error, Separator));
  default:
    return {};
  }
}

QVariant TNight_Model::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Section < 0 || Section >= Night_Column_Count ||
      (Role != Qt::DisplayRole && Role != Qt::AccessibleTextRole))
    return QAbstractTableModel::headerData(Section, Orientation, Role);
  return Text_Of(Night_Column_Title(static_cast<TNight_Column>(Section)));
}

void TNight_Model::Add_Rows(std::vector<TNight_Row> New_Rows) {
  std::vector<TNight_Row> Appended;
  for (TNight_Row& Row : New_Rows) {
    if (const auto It = Row_Of_File.find(Row.Result.File); It != Row_Of_File.end()) {
      All_Rows[It->second] = std::move(Row);
      const int At = static_cast<int>(It->second);
      emit dataChanged(index(At, 0), index(At, Night_Column_Count - 1));
    } else {
      Appended.push_back(std::move(Row));
    }
  }
  if (Appended.empty())
    return;
  const int First = rowCount();
  beginInsertRows({}, First, First + static_cast<int>(Appended.size()) - 1);
  for (TNight_Row& Row : Appended) {
    Row_Of_File.emplace(Row.Result.File, All_Rows.size());
    All_Rows.push_back(std::move(Row));
  }
  endInsertRows();
}

// -----------------------------------------------------------------------------------------

TForm_Night::TForm_Night(TNight_Host& Host_, const QStringList& Files, const QString& Folder_,
                         QWidget* Parent)
    : QWidget(Parent, Qt::Window), Host(Host_), Folder(Folder_) {
  setObjectName(QStringLiteral("Form_Night"));
  const TSettings& Settings = Host.Host_Settings();
  Max_Error = Settings.Max_Error;
  Night_Model = new TNight_Model(Settings.Max_Error, Host.Host_Number_Format().Decimal_Separator, this);
  Sorted = new QSortFilterProxyModel(this);
  Sorted->setSourceModel(Night_Model);
  Sorted->setSortRole(TNight_Model::Sort_Role);

  Label_Source = New_Label("Label_Source", this);
  Button_Report_Selected = New_Button("Button_Report_Selected", QStringLiteral("&Report Selected"), this);
  Button_Save_CSV = New_Button("Button_Save_CSV", QStringLiteral("Save as &CSV"), this);
  Button_Watch = New_Button("Button_Watch", QStringLiteral("&Watch Folder"), this);
  Button_Watch->setCheckable(true);
  Table_Night = new QTableView(this);
  Table_Night->setObjectName(QStringLiteral("Table_Night"));
  Table_Night->setAccessibleName(QStringLiteral("Night"));
  Table_Night->setAccessibleDescription(QStringLiteral("Table_Night"));
  Table_Night->setModel(Sorted);
  Table_Night->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table_Night->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Table_Night->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table_Night->setSortingEnabled(true);
  Table_Night->sortByColumn(static_cast<int>(TNight_Column::File), Qt::AscendingOrder);
  Table_Night->horizontalHeader()->setStretchLastSection(true);
  Table_Night->verticalHeader()->hide();
  Table_Night->verticalHeader()->setDefaultSectionSize(Table_Night->fontMetrics().height() + 6);
  Progress_Night = new QProgressBar(this);
  Progress_Night->setObjectName(QStringLiteral("Progress_Night"));
  Progress_Night->setAccessibleName(QStringLiteral("Measured"));
  Progress_Night->setAccessibleDescription(QStringLiteral("Progress_Night"));
  Label_Status = New_Label("Label_Status", this);

  auto* Buttons = new QHBoxLayout;
  Buttons->addWidget(Button_Report_Selected);
  Buttons->addWidget(Button_Save_CSV);
  Buttons->addWidget(Button_Watch);
  Buttons->addStretch();
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Label_Source);
  Layout->addLayout(Buttons);
  Layout->addWidget(Table_Night);
  Layout->addWidget(Progress_Night);
  Layout->addWidget(Label_Status);
  resize(1000, 600);
  Table_Night->setFocus();

  connect(Table_Night, &QTableView::activated, this, &TForm_Night::Open_Current);
  connect(Button_Report_Selected, &QPushButton::clicked, this, [this] { Report_Selected(); });
  connect(Button_Save_CSV, &QPushButton::clicked, this, &TForm_Night::Save_CSV_Click);
  connect(Button_Watch, &QPushButton::toggled, this, &TForm_Night::Set_Watching);

  std::vector<std::string> List;
  for (const QString& File : Files)
    List.push_back(File.toStdString());
  Button_Watch->setEnabled(false);
  if (!Folder.isEmpty()) {
    setWindowTitle(QStringLiteral("Night: ") + Folder);
    Label_Source->setText(QStringLiteral("Folder: ") + Folder);
    try {
      // Watching begins before the folder is listed, so that no frame falls between the two.
      Watcher = std::make_unique<TFolder_Watcher>(Folder.toStdString());
      Button_Watch->setEnabled(true);
    } catch (const std::exception& E) {
      Label_Status->setText(Text_Of(E.what()));
    }
    try {
      const std::vector<std::string> Frames = List_Frames(Folder.toStdString());
      List.insert(List.end(), Frames.begin(), Frames.end());
    } catch (const std::exception& E) {
      Label_Status->setText(Text_Of(E.what()));
    }
  } else {
    setWindowTitle(QStringLiteral("Night"));
    Label_Source->setText(QString::number(Files.size()) + QStringLiteral(" files"));
  }
  List_Count = List.size();
  Progress_Night->setRange(0, static_cast<int>(List_Count));
  Show_Progress();
  if (List_Count == 0)
    QMetaObject::invokeMethod(this, &TForm_Night::Night_Filled, Qt::QueuedConnection);
  // The worker measures with the settings and catalogue of this moment.
  Worker = std::thread(&TForm_Night::Work, this, std::move(List), Settings,
                       std::make_unique<TTarget_Catalogue>(Host.Host_Catalogue()));
}

TForm_Night::~TForm_Night() {
  {
    const std::lock_guard Guard(Lock);
    Stop_Asked = true;
  }
  Wake.notify_all();
  if (Watcher)
    Watcher->Stop();
  Worker.join();
}

bool TForm_Night::Filled() const {
  return Listed_Done >= List_Count;
}

void TForm_Night::Work(std::vector<std::string> Files, TSettings Settings,
                       std::unique_ptr<TTarget_Catalogue> Catalogue) {
  // Whether each file measured so far failed: a frame that was still being written when it
  // was first read is measured again once the watch sees it complete.
  std::map<std::string, bool> Failed_Of;
  const auto Post = [this](std::vector<TNight_Row>& Batch, bool Arrived) {
    if (Batch.empty())
      return;
    auto Shared = std::make_shared<std::vector<TNight_Row>>(std::move(Batch));
    Batch.clear();
    QMetaObject::invokeMethod(
        this, [this, Shared, Arrived] { Add_Batch(std::move(*Shared), Arrived); }, Qt::QueuedConnection);
  };
  const auto Measure = [&](const std::vector<std::string>& List, bool Arrived) {
    std::vector<TNight_Row> Batch;
    auto Posted = std::chrono::steady_clock::now();
    for (const std::string& File : List) {
      if (Stop_Asked)
        return;
      Batch.push_back(Measure_Night_Frame(File, *Catalogue, Settings));
      Failed_Of[File] = Batch.back().Result.Failed;
      if (Batch.size() >= Batch_Rows || std::chrono::steady_clock::now() - Posted >= Batch_Age || Arrived) {
        Post(Batch, Arrived);
        Posted = std::chrono::steady_clock::now();
      }
    }
    Post(Batch, Arrived);
  };
  Measure(Files, false);
  if (!Watcher)
    return;
  while (!Stop_Asked) {
    {
      std::unique_lock Guard(Lock);
      Wake.wait(Guard, [this] { return Stop_Asked || Watching; });
    }
    if (Stop_Asked)
      return;
    std::vector<std::string> New;
    try {
      New = Watcher->Wait_For_Frames([this] { return Stop_Asked || !Watching; });
    } catch (const std::exception& E) {
      const QString Text = Text_Of(E.what());
      QMetaObject::invokeMethod(
          this,
          [this, Text] {
            Label_Status->setText(Text);
            Button_Watch->setChecked(false);
            Button_Watch->setEnabled(false);
          },
          Qt::QueuedConnection);
      return;
    }
    std::erase_if(New, [&](const std::string& File) {
      const auto It = Failed_Of.find(File);
      return It != Failed_Of.end() && !It->second;
    });
    Measure(New, true);
  }
}

void TForm_Night::Add_Batch(std::vector<TNight_Row> Batch, bool Arrived) {
  const bool Was_Filled = Filled();
  std::vector<QString> Arrivals;
  for (const TNight_Row& Row : Batch) {
    if (!Arrived)
      continue;
    Arrivals.push_back(Text_Of(Row.Result.File));
    if (Host.Host_Settings().Notify_Outburst && Shows_Outburst(Row.Result))
      Notify_Outburst(Row);
  }
  if (!Arrived)
    Listed_Done += Batch.size();
  const bool First = Night_Model->rowCount() == 0;
  Night_Model->Add_Rows(std::move(Batch));
  if (First)
    Table_Night->resizeColumnsToContents();
  Show_Progress();
  for (const QString& File : Arrivals)
    emit Frame_Arrived(File);
  if (!Was_Filled && Filled())
    emit Night_Filled();
}

void TForm_Night::Notify_Outburst(const TNight_Row& Row) {
  const TOutburst_Notice Notice = Outburst_Notice(Row.Result);
  QDBusConnection Bus = QDBusConnection::sessionBus();
  if (!Bus.isConnected()) {
    Label_Status->setText(QStringLiteral("Note: no notification: no session bus"));
    return;
  }
  QDBusMessage Call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  Call << QStringLiteral("Korvane") << 0u << QStringLiteral("korvane") << Text_Of(Notice.Summary)
       << Text_Of(Notice.Body) << QStringList() << QVariantMap() << -1;
  auto* Pending = new QDBusPendingCallWatcher(Bus.asyncCall(Call, 2000), this);
  connect(Pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* Done) {
    if (Done->isError())
      Label_Status->setText(QStringLiteral("Note: no notification: ") + Done->error().message());
    Done->deleteLater();
  });
}

void TForm_Night::Show_Progress() {
  Progress_Night->setValue(static_cast<int>(std::min(Listed_Done, List_Count)));
  Progress_Night->setFormat(QString::number(Listed_Done) + QStringLiteral(" of ") +
                            QString::number(List_Count) + QStringLiteral(" measured"));
}

void TForm_Night::Open_Current(const QModelIndex& Index) {
  const QModelIndex Source = Sorted->mapToSource(Index);
  if (!Source.isValid())
    return;
  Host.Open_Frame(Text_Of(Night_Model->Rows()[static_cast<size_t>(Source.row())].Result.File));
}

int TForm_Night::Report_Selected() {
  const TReport_Settings Settings = Host.Host_Report_Settings();
  int Written = 0, Not_Measured = 0;
  std::string Problems;
  for (const QModelIndex& Index : Table_Night->selectionModel()->selectedRows()) {
    const TNight_Row& Row = Night_Model->Rows()[static_cast<size_t>(Sorted->mapToSource(Index).row())];
    if (!Is_Measured(Row.Result)) {
      ++Not_Measured;
      continue;
    }
    try {
      const TReport_Outcome Outcome = Write_AAVSO_Report(Row.Result.Image, Settings);
      if (Outcome.Written)
        ++Written;
      else
        Problems += Row.Result.File + ": report " + Outcome.Path + " not written: " + Outcome.Reason + "\n";
      if (!Outcome.Filter_Message.empty())
        Problems += Row.Result.File + ": " + Outcome.Filter_Message + "\n";
    } catch (const std::exception& E) {
      Problems += Row.Result.File + ": " + E.what() + "\n";
    }
  }
  Label_Status->setText(
      QString::number(Written) +
      (Written == 1 ? QStringLiteral(" report written") : QStringLiteral(" reports written")) +
      (Not_Measured > 0 ? QStringLiteral(", ") + QString::number(Not_Measured) +
                              QStringLiteral(" selected rows not measured")
                        : QString()));
  if (!Problems.empty()) {
    Problems.pop_back();
    Host.Show_Error(Problems);
  }
  return Written;
}

bool TForm_Night::Save_CSV(const QString& Path) {
  std::vector<const TNight_Row*> Shown;
  for (int r = 0; r < Sorted->rowCount(); ++r)
    Shown.push_back(
        &Night_Model->Rows()[static_cast<size_t>(Sorted->mapToSource(Sorted->index(r, 0)).row())]);
  try {
    Write_File_Whole(Path.toStdString(), Night_CSV(Shown, Max_Error));
  } catch (const std::exception& E) {
    Host.Show_Error(E.what());
    return false;
  }
  Label_Status->setText(QString::number(Shown.size()) + QStringLiteral(" rows saved to ") + Path);
  return true;
}

void TForm_Night::Save_CSV_Click() {
  Host.Begin_Modal();
  const QString Path = QFileDialog::getSaveFileName(this, QStringLiteral("Save as CSV"), Folder,
                                                    QStringLiteral("CSV files (*.csv)"));
  Host.End_Modal();
  if (!Path.isEmpty())
    Save_CSV(Path);
}

void TForm_Night::Set_Watching(bool On) {
  if (!Watcher)
    return;
  {
    const std::lock_guard Guard(Lock);
    Watching = On;
  }
  Wake.notify_all();
  if (Button_Watch->isChecked() != On)
    Button_Watch->setChecked(On);
  Label_Status->setText(On ? QStringLiteral("Watching ") + Folder : QStringLiteral("Not watching"));
}
