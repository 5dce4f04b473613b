// The night table against korvane-measure's results for the same frames, its reports and CSV,
// and the outburst notifications of the watching table and of korvane-measure --watch --notify
// against a stand-in notification service on a private bus.

#include "automation/Automation_Test.h"
#include "automation/Command_Line.h"
#include "cli/Measure_Command.h"
#include "night/Unit_Night.h"
#include "support/Fits_Writer.h"
#include "support/Run_Program.h"
#include "support/Test_Files.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

namespace fs = std::filesystem;

namespace {

const std::string Examples = std::string(KORVANE_SOURCE_DIR) + "/examples/";

// Runs the event loop until Done or ten seconds have passed; Done's last answer.
bool Spin_Until(const std::function<bool()>& Done) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Done() && std::chrono::steady_clock::now() < End)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return Done();
}

// The value of "Key": in a flat JSON line, unquoted; empty when absent.
std::string Json_Field(const std::string& Line, const std::string& Key) {
  const size_t At = Line.find("\"" + Key + "\":");
  if (At == std::string::npos)
    return {};
  size_t i = At + Key.size() + 3;
  std::string Out;
  if (Line[i] != '"') {
    while (i < Line.size() && Line[i] != ',' && Line[i] != '}')
      Out += Line[i++];
    return Out;
  }
  for (++i; i < Line.size() && Line[i] != '"'; ++i)
    Out += Line[i] == '\\' ? Line[++i] : Line[i];
  return Out;
}

std::string Three_Decimals(double Value) {
  char Buffer[32];
  std::snprintf(Buffer, sizeof Buffer, "%.3f", Value);
  return Buffer;
}

// The example field's catalogue with KV Exm's threshold at 14: its 13.218 is an outburst.
struct TNight_Files {
  TScratch_Folder Scratch{"korvane-night"};
  std::string Targets = Scratch.Path("targets.csv");
  std::string Ini = Examples + "korvane.ini";
  fs::path Night = Scratch.Folder / "night";
  fs::path Reports = Scratch.Folder / "reports";
  TSettings Settings;
  TTarget_Catalogue Catalogue;

  TNight_Files() {
    std::string Catalogue_Text = Get(Examples + "targets.csv");
    Catalogue_Text.replace(Catalogue_Text.find("12.5,X0001EX"), 4, "14.0");
    Put(Targets, Catalogue_Text);
    fs::create_directories(Night);
    fs::create_directories(Reports);
    Settings = Default_Settings(Scratch.Folder.string());
    Read_Settings_File(Ini, Settings);
    Settings.DataFileName = Targets;
    Settings.ReportFileDir = Reports.string();
    struct : TMessages {
      void Show(const std::string&) override {}
    } Quiet;
    Load_Targets(Targets, Catalogue, TNumber_Format{'.'}, Quiet);
  }
  std::vector<std::string> Command(const std::vector<std::string>& Args) const {
    std::vector<std::string> Argv = {KORVANE_MEASURE_PATH, "--settings", Ini, "--targets", Targets};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    return Argv;
  }
};

class TTest_Host : public TNight_Host {
public:
  explicit TTest_Host(const TNight_Files& F) : Files(F), Settings(F.Settings) {}
  const TSettings& Host_Settings() const override { return Settings; }
  const TTarget_Catalogue& Host_Catalogue() const override { return Files.Catalogue; }
  TNumber_Format Host_Number_Format() const override { return TNumber_Format{'.'}; }
  TReport_Settings Host_Report_Settings() const override { return Report_Settings_Of(Settings); }
  void Open_Frame(const QString& Path) override { Opened.push_back(Path.toStdString()); }
  void Show_Error(const std::string& Text) override { Errors.push_back(Text); }
  void Begin_Modal() override {}
  void End_Modal() override {}

  const TNight_Files& Files;
  TSettings Settings;
  std::vector<std::string> Opened, Errors;
};

} // namespace

TEST(Night_Table, Rows_Are_The_Commands_Results_And_Report_And_Save) {
  Test_Application();
  TNight_Files F;
  const std::string Field = Get(Examples + "field.fit");
  Put(F.Night / "a_field.fit", Field);
  Put(F.Night / "b_truncated.fit", Field.substr(0, 10000));
  Put(F.Night / "c_text.FITS", "not a FITS file at all\n");
  TFits_Writer Unsolved = Standard_Header(40, 30);
  Put(F.Night / "d_unsolved.fts", Unsolved.Header_Bytes() + std::string(2880, '\0'));
  Put(F.Night / "notes.txt", "not a frame");

  std::vector<std::string> Frames = List_Frames(F.Night.string());
  ASSERT_EQ(Frames.size(), 4u);
  std::vector<std::string> Args = {"--json"};
  Args.insert(Args.end(), Frames.begin(), Frames.end());
  const TProgram_Run Command =
      Run_Program(F.Command(Args), {"HOME=" + F.Scratch.Folder.string(), "PATH=/usr/bin:/bin", "LC_ALL=C"},
                  F.Scratch.Folder, F.Scratch.Folder, 30);
  ASSERT_EQ(Command.Out_Lines().size(), 4u) << Command.Err;

  TTest_Host Host(F);
  TForm_Night Night(Host, {}, QString::fromStdString(F.Night.string()));
  Night.show();
  ASSERT_TRUE(Spin_Until([&] { return Night.Filled(); }));
  ASSERT_EQ(Night.Model().rowCount(), 4);

  std::map<std::string, const TNight_Row*> Row_Of;
  for (const TNight_Row& Row : Night.Model().Rows())
    Row_Of[Row.Result.File] = &Row;
  int Errors = 0;
  for (const std::string& Line : Command.Out_Lines()) {
    const std::string File = Json_Field(Line, "file");
    SCOPED_TRACE(File);
    ASSERT_TRUE(Row_Of.count(File));
    const TNight_Row& Row = *Row_Of[File];
    const auto Cell = [&](TNight_Column Column) {
      return Night_Cell(Row, Column, F.Settings.Max_Error, '.');
    };
    if (const std::string Error = Json_Field(Line, "error"); !Error.empty()) {
      ++Errors;
      EXPECT_TRUE(Row.Result.Failed);
      EXPECT_EQ(Row.Result.Error, Error);
      EXPECT_EQ(Cell(TNight_Column::State), "Error");
      EXPECT_EQ(Cell(TNight_Column::Problems).substr(0, Error.size()), Error);
      continue;
    }
    EXPECT_EQ(std::to_string(Code_Number(Row.Result.Image.Last_Error)), Json_Field(Line, "Last_Error"));
    EXPECT_EQ(Cell(TNight_Column::Target), Json_Field(Line, "ObjectName"));
    if (Row.Result.Image.Last_Error == TResult_Code::Measured) {
      EXPECT_EQ(Json_Number(Row.Result.Image.Magnitude), Json_Field(Line, "Magnitude"));
      EXPECT_EQ(Json_Number(Row.Result.Image.Std_Error), Json_Field(Line, "Std_Error"));
      EXPECT_EQ(Cell(TNight_Column::Magnitude), Three_Decimals(std::stod(Json_Field(Line, "Magnitude"))));
      EXPECT_EQ(Cell(TNight_Column::State),
                Json_Field(Line, "Outburst") == "true" ? "Outburst" : "Quiescent");
      EXPECT_EQ(Cell(TNight_Column::JD), std::to_string(std::stod(Json_Field(Line, "JD"))).substr(0, 13));
      EXPECT_EQ(Cell(TNight_Column::Filter), Json_Field(Line, "Image_Filter_Letter"));
    } else {
      EXPECT_EQ(Cell(TNight_Column::State), "Not Plate Solved");
      EXPECT_EQ(Cell(TNight_Column::Magnitude), "");
    }
  }
  EXPECT_EQ(Errors, 2);

  // What a screen reader reads is what the table shows; the outburst is red.
  QAccessibleInterface* Table = QAccessible::queryAccessibleInterface(Night.Table_Night);
  ASSERT_NE(Table, nullptr);
  ASSERT_NE(Table->tableInterface(), nullptr);
  const auto Model_Text = [&](int Row, TNight_Column Column) {
    return Night.Table_Night->model()->index(Row, static_cast<int>(Column)).data().toString();
  };
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < Night_Column_Count; ++c)
      EXPECT_EQ(Table->tableInterface()->cellAt(r, c)->text(QAccessible::Name),
                Model_Text(r, static_cast<TNight_Column>(c)));
  EXPECT_EQ(Model_Text(0, TNight_Column::State), "Outburst");
  EXPECT_EQ(
      Night.Table_Night->model()->index(0, static_cast<int>(TNight_Column::State)).data(Qt::ForegroundRole),
      QVariant(QBrush(Qt::red)));

  // Sorted by magnitude, the measured frame comes first either way; Enter opens its window.
  Night.Table_Night->sortByColumn(static_cast<int>(TNight_Column::Magnitude), Qt::DescendingOrder);
  EXPECT_EQ(Model_Text(3, TNight_Column::File), "a_field.fit");
  Night.Table_Night->sortByColumn(static_cast<int>(TNight_Column::Magnitude), Qt::AscendingOrder);
  EXPECT_EQ(Model_Text(0, TNight_Column::File), "a_field.fit");
  Night.Table_Night->setFocus();
  Night.Table_Night->setCurrentIndex(Night.Table_Night->model()->index(0, 0));
  QKeyEvent Enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(Night.Table_Night, &Enter);
  EXPECT_EQ(Host.Opened, std::vector<std::string>{(F.Night / "a_field.fit").string()});

  // Every row selected: the one measured frame is reported, through the report writer.
  Night.Table_Night->selectAll();
  EXPECT_EQ(Night.Report_Selected(), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(F.Reports), fs::directory_iterator()), 1);
  EXPECT_EQ(Night.Label_Status->text(), "1 report written, 3 selected rows not measured");
  EXPECT_TRUE(Host.Errors.empty());
  fs::remove_all(F.Reports);
  EXPECT_EQ(Night.Report_Selected(), 0);
  ASSERT_EQ(Host.Errors.size(), 1u);
  EXPECT_NE(Host.Errors[0].find("a_field.fit"), std::string::npos) << Host.Errors[0];

  // The CSV holds the table in its shown order.
  const std::string Csv = F.Scratch.Path("night.csv");
  ASSERT_TRUE(Night.Save_CSV(QString::fromStdString(Csv)));
  const std::vector<std::string> Lines = Lines_Of(Get(Csv));
  ASSERT_EQ(Lines.size(), 5u);
  EXPECT_EQ(Lines[0], "File,UTC,JD,Target,Mag,Error,State,Filter,Air Mass,Problems");
  EXPECT_EQ(Lines[1].substr(0, Lines[1].find(',')), (F.Night / "a_field.fit").string());
  EXPECT_NE(Lines[1].find(",KV Exm," + Night_Cell(*Row_Of[(F.Night / "a_field.fit").string()],
                                                  TNight_Column::Magnitude, F.Settings.Max_Error, '.')),
            std::string::npos)
      << Lines[1];
}

namespace {

// org.freedesktop.Notifications as a desktop has it, keeping the Notify calls it gets.
class TStand_In_Notifications : public QDBusVirtualObject {
public:
  struct TCall {
    std::string Application, Summary, Body;
  };
  std::vector<TCall> Calls;

  bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override {
    if (Message.member() != QLatin1String("Notify") || Message.arguments().size() != 8)
      return false;
    const QList<QVariant> Args = Message.arguments();
    Calls.push_back({Args[0].toString().toStdString(), Args[3].toString().toStdString(),
                     Args[4].toString().toStdString()});
    Connection.send(Message.createReply(QVariant::fromValue(static_cast<uint>(Calls.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
};

} // namespace

TEST(Night_Notifications, One_Per_Outburst_Frame_From_The_Table_And_The_Command) {
  Test_Application();
  TNight_Files F;
  const TPrivate_Bus Bus = Start_Private_Bus();
  ASSERT_FALSE(Bus.Address.empty()) << "dbus-run-session did not start";
  const auto End_Bus = qScopeGuard([&] { ::close(Bus.Input); });
  QDBusConnection Connection =
      QDBusConnection::connectToBus(QString::fromStdString(Bus.Address), "night-test");
  ASSERT_TRUE(Connection.isConnected());
  qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(Bus.Address));
  TStand_In_Notifications Service;
  ASSERT_TRUE(Connection.registerVirtualObject("/org/freedesktop/Notifications", &Service));
  ASSERT_TRUE(Connection.registerService("org.freedesktop.Notifications"));
  const std::string Field = Get(Examples + "field.fit");
  const auto Move_In = [&](const std::string& Name) {
    Put(F.Scratch.Folder / ".incoming", Field);
    fs::rename(F.Scratch.Folder / ".incoming", F.Night / Name);
  };

  {
    // The table, watching, with the setting on: a frame present at the start is no news.
    Put(F.Night / "a_present.fit", Field);
    TTest_Host Host(F);
    Host.Settings.Notify_Outburst = true;
    TForm_Night Night(Host, {}, QString::fromStdString(F.Night.string()));
    ASSERT_TRUE(Spin_Until([&] { return Night.Filled(); }));
    Night.Set_Watching(true);
    std::vector<QString> Arrived;
    QObject::connect(&Night, &TForm_Night::Frame_Arrived,
                     [&](const QString& Path) { Arrived.push_back(Path); });
    const auto Start = std::chrono::steady_clock::now();
    Move_In("b_table.fit");
    ASSERT_TRUE(Spin_Until([&] { return Service.Calls.size() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(1));
    EXPECT_EQ(Service.Calls[0].Application, "Korvane");
    EXPECT_EQ(Service.Calls[0].Summary, "Outburst: KV Exm");
    EXPECT_EQ(Service.Calls[0].Body, "mag 13.218 brighter than threshold 14.000 in b_table.fit");
    EXPECT_EQ(Arrived, std::vector<QString>{QString::fromStdString((F.Night / "b_table.fit").string())});
    EXPECT_EQ(Night.Model().rowCount(), 2);
    // The setting off: rows, no notification.
    Host.Settings.Notify_Outburst = false;
    Move_In("c_quiet.fit");
    ASSERT_TRUE(Spin_Until([&] { return Arrived.size() == 2; }));
    EXPECT_EQ(Service.Calls.size(), 1u);
  }

  // The command: the three frames present first, then one line and one notification per new
  // frame; without the service a note, and SIGTERM ends the watch with status 0.
  QProcess Watch;
  Watch.setProgram(QString::fromStdString(KORVANE_MEASURE_PATH));
  QStringList Arguments;
  for (const std::string& Arg : F.Command({"--watch", F.Night.string(), "--notify"}))
    Arguments << QString::fromStdString(Arg);
  Arguments.removeFirst();
  Watch.setArguments(Arguments);
  QProcessEnvironment Environment;
  Environment.insert("HOME", QString::fromStdString(F.Scratch.Folder.string()));
  Environment.insert("PATH", "/usr/bin:/bin");
  Environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(Bus.Address));
  Watch.setProcessEnvironment(Environment);
  Watch.start();
  ASSERT_TRUE(Watch.waitForStarted());
  QByteArray Out;
  const auto Lines = [&] {
    Out += Watch.readAllStandardOutput();
    return Out.count('\n');
  };
  ASSERT_TRUE(Spin_Until([&] { return Lines() == 3; })) << Watch.readAllStandardError().toStdString();
  Move_In("d_command.fit");
  ASSERT_TRUE(Spin_Until([&] { return Service.Calls.size() == 2 && Lines() == 4; }));
  EXPECT_EQ(Service.Calls[1].Application, "korvane-measure");
  EXPECT_EQ(Service.Calls[1].Body, "mag 13.218 brighter than threshold 14.000 in d_command.fit");
  EXPECT_NE(Out.split('\n')[3].indexOf("d_command.fit\",\"Last_Error\":0"), -1) << Out.toStdString();

  Connection.unregisterService("org.freedesktop.Notifications");
  Move_In("e_unheard.fit");
  ASSERT_TRUE(Spin_Until([&] { return Lines() == 5; }));
  Watch.terminate();
  ASSERT_TRUE(Watch.waitForFinished(5000));
  EXPECT_EQ(Watch.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Watch.exitCode(), 0);
  EXPECT_NE(
      Watch.readAllStandardError().indexOf("e_unheard.fit: note: no notification: no notification service"),
      -1);
  EXPECT_EQ(Service.Calls.size(), 2u);
}

TEST(Night_Command_Line, The_Night_Folder_Is_No_File_To_Open) {
  const struct {
    QStringList Arguments, Files;
    QString Night;
  } Cases[] = {
      {{"korvane", "a.fit", "--night", "tonight", "b.fit"}, {"a.fit", "b.fit"}, "tonight"},
      {{"korvane", "--night=/data/n1", "/automation", "--night", "n2"}, {}, "n2"},
      {{"korvane", "a.fit"}, {"a.fit"}, ""},
      {{"korvane", "--night"}, {}, ""},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Arguments.join(' ').toStdString());
    EXPECT_EQ(Files_To_Open(Case.Arguments), Case.Files);
    EXPECT_EQ(Night_Folder(Case.Arguments), Case.Night);
  }
}
