// The automation service inside the running program, offscreen on a private session bus:
// calls that arrive while a message box waits, and the question asked at close while
// clients still use the program. The clients are separate bus connections of this process.

#include "Automation_Test.h"
#include "app/Korvane_Application.h"
#include "app/Unit_Main.h"
#include "automation/Automation.h"
#include "automation/Command_Line.h"
#include "automation/Service_File.h"
#include "automation/Unit_Server.h"
#include "image/Unit_Image.h"
#include "settings/Settings.h"
#include "support/Index_Field.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A session bus of this test program's own, started once before anything uses the bus. It
// ends with the program: the shell in it waits on a pipe that only this process holds.
const QString& Private_Bus() {
  static const QString Address = [] {
    const std::string Started = Start_Private_Bus().Address;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", Started.c_str(), 1);
    return QString::fromStdString(Started);
  }();
  return Address;
}

// Runs the event loop until Done, for at most Limit; whether Done came.
bool Wait_For(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 20s) {
  const QDeadlineTimer Deadline(Limit);
  while (!Done()) {
    if (Deadline.hasExpired())
      return false;
    QEventLoop Loop;
    QTimer::singleShot(5ms, &Loop, &QEventLoop::quit);
    Loop.exec();
  }
  return true;
}

// A script's process as the bus sees it: a connection of its own, calling asynchronously so
// that this thread goes on serving the calls.
class TClient {
public:
  explicit TClient(const QString& Name) : Bus(QDBusConnection::connectToBus(Private_Bus(), Name)) {}
  ~TClient() { Leave(); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  QDBusPendingCall Call(const QString& Method) {
    return Bus.asyncCall(QDBusMessage::createMethodCall(QLatin1String(Service_Bus_Name),
                                                        QLatin1String(Server_Object_Path),
                                                        QLatin1String(Server_Interface), Method));
  }
  QDBusPendingCall Property(const QString& Name, const std::optional<QVariant>& Value = std::nullopt) {
    QDBusMessage Message =
        QDBusMessage::createMethodCall(QLatin1String(Service_Bus_Name), QLatin1String(Server_Object_Path),
                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                       Value ? QStringLiteral("Set") : QStringLiteral("Get"));
    Message << QLatin1String(Server_Interface) << Name;
    if (Value)
      Message << QVariant::fromValue(QDBusVariant(*Value));
    return Bus.asyncCall(Message);
  }
  // Closes the connection: this object's reference to it goes first, or it stays open.
  void Leave() {
    const QString Name = Bus.name();
    Bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(Name);
  }

  QDBusConnection Bus;
};

// The reply of a call that has finished; an error reply fails the test.
QDBusMessage Reply(const QDBusPendingCall& Call) {
  const QDBusMessage Message = Call.reply();
  EXPECT_EQ(Message.type(), QDBusMessage::ReplyMessage) << Message.errorMessage().toStdString();
  return Message;
}

// The reply of Call once it has come (the event loop runs meanwhile), error or not.
QDBusMessage Finished(const QDBusPendingCall& Call) {
  EXPECT_TRUE(Wait_For([&] { return Call.isFinished(); }));
  return Call.reply();
}

// What a modal box does to the event loop: Show() runs a nested loop, in which While_Shown
// runs, and returns once While_Shown has released it.
class TModal_Messages : public TMessages {
public:
  void Show(const std::string& Text) override {
    Texts.push_back(Text);
    QEventLoop Loop;
    QTimer::singleShot(0, &Loop, [&] {
      if (While_Shown)
        While_Shown();
      Loop.quit();
    });
    Loop.exec();
  }
  std::function<void()> While_Shown;
  std::vector<std::string> Texts;
};

class Automation_Window : public ::testing::Test {
protected:
  void SetUp() override {
    ::alarm(120); // a hung bus or event loop ends the test program instead of the test run
    ASSERT_FALSE(Private_Bus().isEmpty()) << "dbus-run-session did not start";
    Test_Application();
    ASSERT_TRUE(Temp.isValid());
    Root = fs::path(Temp.path().toStdString());
    fs::create_directories(Root / "config");
    fs::create_directories(Root / "home");
    Use_Scratch_Home((Root / "home").string(), (Root / "config").string());
    // The example settings, with the bundled target file named absolutely.
    std::string Ini = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "korvane.ini");
    Replace_Line(Ini, "examples/targets.csv", std::string(KORVANE_SOURCE_DIR) + "/examples/targets.csv");
    Put(Ini_Path(), Ini);
    Previous_Box = Set_Error_Box([this](const std::string& Text) { Error_Boxes.push_back(Text); });
  }
  void TearDown() override {
    Set_Error_Box(Previous_Box);
    EXPECT_TRUE(Error_Boxes.empty()) << Error_Boxes.front();
    ::alarm(0);
  }

  fs::path Ini_Path() const { return Root / "config" / "korvane.ini"; }

  QTemporaryDir Temp;
  fs::path Root;
  std::vector<std::string> Error_Boxes;
  TError_Box Previous_Box;
};

TEST_F(Automation_Window, A_Call_During_A_Message_Box_Waits_For_It) {
  // The bundled field with its first card renamed: reading it shows one finding, then it
  // measures as usual.
  std::string Bytes = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "field.fit");
  ASSERT_EQ(Bytes.substr(0, 6), "SIMPLE");
  Bytes.replace(0, 6, "NOSIMP");
  const fs::path Field = Root / "nosimple.fit";
  Put(Field, Bytes);

  // The call sent while the box waits; what it answers (LastError's value) once served, and
  // the image windows left then.
  struct TCase {
    const char* Name;
    std::function<QDBusPendingCall(TClient&)> Send;
    std::optional<int> Last_Error;
    qsizetype Windows;
  };
  const std::vector<TCase> Cases = {
      {"CloseFile", [](TClient& C) { return C.Call(QStringLiteral("CloseFile")); }, std::nullopt, 0},
      {"LastError", [](TClient& C) { return C.Property(QStringLiteral("LastError")); }, 0, 1},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TModal_Messages Messages;
    TMain_Form Main(Messages);
    Main.show();
    TKorvane_Server Server(Main, QDBusConnection::sessionBus());
    QString Error;
    ASSERT_TRUE(Server.Publish(true, Error)) << Error.toStdString();

    TClient Measuring(QStringLiteral("measuring-") + QLatin1String(Case.Name));
    TClient Second(QStringLiteral("second-") + QLatin1String(Case.Name));
    const QDBusPendingCall Named =
        Measuring.Property(QStringLiteral("FileName"), QString::fromStdString(Field.string()));
    ASSERT_TRUE(Wait_For([&] { return Named.isFinished(); }));
    Reply(Named);

    const QDBusPendingCall Magnitude = Measuring.Call(QStringLiteral("Magnitude"));
    std::optional<QDBusPendingCall> Waiting;
    int Boxes = 0;
    Messages.While_Shown = [&] {
      ++Boxes;
      Waiting = Case.Send(Second);
      // The server has taken the call once it counts its client.
      EXPECT_TRUE(Wait_For([&] { return Server.Client_Count() == 2; })) << "the second call never arrived";
      Wait_For([] { return false; }, 300ms); // time enough for a reply that should not come
      EXPECT_FALSE(Waiting->isFinished()) << "answered while the box waits";
      EXPECT_FALSE(Magnitude.isFinished());
      EXPECT_EQ(Main.Image_Windows().size(), 1);
    };
    ASSERT_TRUE(Wait_For([&] { return Magnitude.isFinished() && Waiting && Waiting->isFinished(); }))
        << "no reply after the box was released";
    EXPECT_EQ(Boxes, 1);
    EXPECT_EQ(Messages.Texts, std::vector<std::string>{"SIMPLE keyword not found!"});

    // The measurement went through the box intact; the waiting call was served after it.
    const QDBusMessage Measured = Reply(Magnitude);
    ASSERT_EQ(Measured.arguments().size(), 1);
    EXPECT_NEAR(Measured.arguments()[0].toDouble(), 13.21802994561372, 1e-9);
    const QDBusMessage Served = Reply(*Waiting);
    if (Case.Last_Error) {
      ASSERT_EQ(Served.arguments().size(), 1);
      EXPECT_EQ(qvariant_cast<QDBusVariant>(Served.arguments()[0]).variant().toInt(), *Case.Last_Error);
    }
    EXPECT_EQ(Main.Image_Windows().size(), Case.Windows);
  }
}

TEST_F(Automation_Window, Work_Begun_Elsewhere_Holds_Back_Changes_Until_Its_Box_Ends) {
  // The bundled field with its first card renamed: reading it shows one finding, then it
  // measures as usual.
  std::string Bytes = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "field.fit");
  Bytes.replace(0, 6, "NOSIMP");
  const fs::path Boxed = Root / "boxed.fit";
  Put(Boxed, Bytes);
  const QString Example =
      QString::fromStdString((fs::path(KORVANE_SOURCE_DIR) / "examples" / "field.fit").string());

  // Where the box comes from: an open begun by the window (the command line, Open Image), or
  // the error box of the settings or light curve window over an image already open.
  enum class TBox { Open, Error_Box };
  // What happens while the box waits: a client's call (or none), or the window's own code;
  // whether the call is answered during the box; then what is left once it has gone.
  struct TCase {
    const char* Name;
    TBox Box;
    std::function<std::optional<QDBusPendingCall>(TClient&, TMain_Form&)> During;
    bool Answered_During;
    qsizetype Windows;
    bool Main_Open;
    std::optional<double> Gain; // the gain set, none when it stays
  };
  const auto Send = [](const char* Method) {
    return [Method](TClient& C, TMain_Form&) { return std::optional(C.Call(QLatin1String(Method))); };
  };
  const std::vector<TCase> Cases = {
      {"CloseFile during an open", TBox::Open, Send("CloseFile"), false, 0, true, {}},
      {"AAVSO_Report during an open", TBox::Open, Send("AAVSO_Report"), false, 1, true, {}},
      {"Gain set during an open", TBox::Open,
       [](TClient& C, TMain_Form&) { return std::optional(C.Property(QStringLiteral("Gain"), 7.5)); }, false,
       1, true, 7.5},
      {"LastError read during an open",
       TBox::Open,
       [](TClient& C, TMain_Form&) { return std::optional(C.Property(QStringLiteral("LastError"))); },
       true,
       1,
       true,
       {}},
      {"the window's own close during an open",
       TBox::Open,
       [](TClient&, TMain_Form& Main) {
         Main.CloseImage();
         return std::optional<QDBusPendingCall>();
       },
       false,
       0,
       true,
       {}},
      {"a closing signal during an open",
       TBox::Open,
       [](TClient&, TMain_Form& Main) {
         EXPECT_FALSE(Main.close());
         return std::optional<QDBusPendingCall>();
       },
       false,
       1,
       false,
       {}},
      {"CloseFile during an error box", TBox::Error_Box, Send("CloseFile"), false, 0, true, {}},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TModal_Messages Messages;
    TMain_Form Main(Messages);
    Main.Settings.ReportFileDir = (Root / "reports").string();
    fs::create_directories(Main.Settings.ReportFileDir);
    Main.show();
    TKorvane_Server Server(Main, QDBusConnection::sessionBus());
    QString Error;
    ASSERT_TRUE(Server.Publish(true, Error)) << Error.toStdString();
    TClient Client(QStringLiteral("held-") + QString::number(&Case - Cases.data()));

    const double Start_Gain = Main.Settings.Gain;
    std::optional<QDBusPendingCall> Call;
    int Boxes = 0;
    const std::function<void()> While_Shown = [&] {
      ++Boxes;
      Call = Case.During(Client, Main);
      if (Call) {
        EXPECT_TRUE(Wait_For([&] { return Server.Client_Count() == 1; })) << "the call never arrived";
      }
      Wait_For([&] { return Call && Call->isFinished(); }, 300ms);
      EXPECT_EQ(Call && Call->isFinished(), Case.Answered_During);
      EXPECT_EQ(Main.Image_Windows().size(), 1) << "a window went while its box waits";
      EXPECT_EQ(Main.Settings.Gain, Start_Gain);
      EXPECT_TRUE(Main.isVisible());
    };
    if (Case.Box == TBox::Open) {
      Messages.While_Shown = While_Shown;
      Main.Open_Files({QString::fromStdString(Boxed.string())});
      EXPECT_EQ(Messages.Texts, std::vector<std::string>{"SIMPLE keyword not found!"});
    } else {
      Main.Open_Files({Example});
      const TError_Box Recording = Set_Error_Box([&](const std::string&) {
        QEventLoop Loop;
        QTimer::singleShot(0, &Loop, [&] {
          While_Shown();
          Loop.quit();
        });
        Loop.exec();
      });
      Main.Show_Error("a settings field is out of range");
      Set_Error_Box(Recording);
    }
    EXPECT_EQ(Boxes, 1);
    // Once the box has gone, what waited is done.
    ASSERT_TRUE(
        Wait_For([&] { return (!Call || Call->isFinished()) && Main.isVisible() == Case.Main_Open; }));
    ASSERT_TRUE(Wait_For([&] { return Main.Image_Windows().size() == Case.Windows; }));
    if (Call)
      Reply(*Call);
    EXPECT_EQ(Main.Settings.Gain, Case.Gain.value_or(Start_Gain));
    if (Case.Windows == 1) {
      const TImage_Model* Image = Main.Active_Image_Model();
      EXPECT_TRUE(Image != nullptr && Image->Last_Error == TResult_Code::Measured)
          << "the held image was not measured whole";
    }
    if (!Case.Main_Open) {
      // The close came after the work: the settings file was written whole.
      TSettings Written = Default_Settings((Root / "home").string());
      EXPECT_EQ(Load_Settings_File(Ini_Path().string(), Written).Kind, TSettings_File_State::TKind::Good);
    }
  }
}

TEST_F(Automation_Window, Meaningless_Values_And_Reports_Without_A_Measurement_Are_Refused) {
  TRecording_Messages Messages;
  TMain_Form Main(Messages);
  Main.Settings.ReportFileDir = (Root / "reports").string();
  fs::create_directories(Main.Settings.ReportFileDir);
  TKorvane_Server Server(Main, QDBusConnection::sessionBus());
  QString Error;
  ASSERT_TRUE(Server.Publish(true, Error)) << Error.toStdString();
  TClient Client(QStringLiteral("values"));

  const double Nan = std::nan(""), Inf = HUGE_VAL;
  const struct {
    const char* Property;
    double Value;
    bool Taken;
  } Cases[] = {
      {"Gain", Nan, false},         {"Gain", Inf, false},         {"Gain", -1.0, false},
      {"Gain", 0.0, false},         {"Gain", 1e300, false},       {"Gain", 2.5, true},
      {"Readout_Noise", -1, false}, {"Readout_Noise", 0.0, true}, {"Dark_Current", -0.5, false},
      {"Max_Error", 0.0, false},    {"Max_Error", -1.0, false},   {"Max_Error", 0.5, true},
      {"degC", Nan, false},         {"degC", -20.0, true},        {"Fits_Crpix", 1.0, false},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Property) + " " + std::to_string(Case.Value));
    const QString Name = QLatin1String(Case.Property);
    const QVariant Before =
        qvariant_cast<QDBusVariant>(Finished(Client.Property(Name)).arguments()[0]).variant();
    const QDBusMessage Set = Finished(Client.Property(Name, Case.Value));
    const QVariant After =
        qvariant_cast<QDBusVariant>(Finished(Client.Property(Name)).arguments()[0]).variant();
    if (Case.Taken) {
      EXPECT_EQ(Set.type(), QDBusMessage::ReplyMessage) << Set.errorMessage().toStdString();
      EXPECT_EQ(After.toDouble(), static_cast<double>(static_cast<float>(Case.Value)));
    } else {
      EXPECT_EQ(Set.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
      EXPECT_TRUE(Set.errorMessage().contains(Name)) << Set.errorMessage().toStdString();
      EXPECT_EQ(After.toDouble(), Before.toDouble());
    }
  }

  // A good report first, then a frame that cannot be measured: its report is refused with
  // code 6, and the good one stays as it was.
  std::string Unsolved = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "field.fit");
  const size_t Cd = Unsolved.find("CD1_1   =");
  ASSERT_NE(Cd, std::string::npos);
  Unsolved.replace(Cd, 2, "XX");
  Put(Root / "unsolved.fit", Unsolved);
  const auto Last_Error = [&] {
    return qvariant_cast<QDBusVariant>(Finished(Client.Property(QStringLiteral("LastError"))).arguments()[0])
        .variant()
        .toInt();
  };
  Finished(Client.Property(
      QStringLiteral("FileName"),
      QString::fromStdString((fs::path(KORVANE_SOURCE_DIR) / "examples" / "field.fit").string())));
  EXPECT_GT(Finished(Client.Call(QStringLiteral("Magnitude"))).arguments().value(0).toDouble(), 0.0);
  Finished(Client.Call(QStringLiteral("AAVSO_Report")));
  ASSERT_EQ(Last_Error(), 0);
  std::map<std::string, std::string> Good;
  for (const auto& Entry : fs::directory_iterator(Root / "reports"))
    Good[Entry.path().string()] = Get(Entry.path());
  ASSERT_EQ(Good.size(), 1u);

  Finished(
      Client.Property(QStringLiteral("FileName"), QString::fromStdString((Root / "unsolved.fit").string())));
  EXPECT_EQ(Finished(Client.Call(QStringLiteral("Magnitude"))).arguments().value(0).toDouble(), 0.0);
  EXPECT_EQ(Last_Error(), 2);
  const QDBusMessage Report = Finished(Client.Call(QStringLiteral("AAVSO_Report")));
  EXPECT_EQ(Report.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(Last_Error(), 6);
  std::map<std::string, std::string> Now;
  for (const auto& Entry : fs::directory_iterator(Root / "reports"))
    Now[Entry.path().string()] = Get(Entry.path());
  EXPECT_EQ(Now, Good);
}

TEST_F(Automation_Window, Each_Camera_Value_Is_Its_Own_Setting) {
  TRecording_Messages Messages;
  TMain_Form Main(Messages);
  TKorvane_Server Server(Main, QDBusConnection::sessionBus());
  QString Error;
  ASSERT_TRUE(Server.Publish(true, Error)) << Error.toStdString();
  TClient Client(QStringLiteral("camera"));

  // Values that differ from each other and from the settings' own, all exact in single
  // precision: a property bound to another setting shows.
  const struct {
    const char* Property;
    double TSettings::*Field;
    double Value;
  } Cases[] = {
      {"Gain", &TSettings::Gain, 1.25},
      {"degC", &TSettings::degC, -12.5},
      {"Readout_Noise", &TSettings::Readout_Noise, 7.75},
      {"Dark_Current", &TSettings::Dark_Current, 0.375},
      {"Max_Error", &TSettings::Max_Error, 0.0625},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Finished(Client.Property(QLatin1String(Case.Property), Case.Value)).type(),
              QDBusMessage::ReplyMessage)
        << Case.Property;
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Property);
    EXPECT_EQ(Main.Settings.*Case.Field, Case.Value);
    const QDBusMessage Read = Finished(Client.Property(QLatin1String(Case.Property)));
    ASSERT_EQ(Read.arguments().size(), 1);
    EXPECT_EQ(qvariant_cast<QDBusVariant>(Read.arguments()[0]).variant().toDouble(), Case.Value);
  }
}

TEST_F(Automation_Window, Closing_While_Clients_Remain_Asks_First) {
  const QString Question_Text = QStringLiteral(
      "There are still active COM objects in this application.  One or more clients may have references "
      "to these objects, so manually closing this application may cause those client application(s) to "
      "fail.\n\nAre you sure you want to close this application?");
  enum class TClient_State { None, Present, Left };
  // Gain is set before the close (by the client when there is one), and read back from the
  // settings file written at close.
  struct TCase {
    const char* Name;
    TClient_State Client;
    std::optional<QMessageBox::StandardButton> Answer; // none: no question expected
    bool Closed;
    double Gain;
  };
  const std::vector<TCase> Cases = {
      {"a client, answer No", TClient_State::Present, QMessageBox::No, false, 1.5},
      {"a client, answer Yes", TClient_State::Present, QMessageBox::Yes, true, 2.5},
      {"a client that has left", TClient_State::Left, std::nullopt, true, 3.5},
      {"no client", TClient_State::None, std::nullopt, true, 4.5},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TRecording_Messages Messages;
    TMain_Form Main(Messages);
    TAutomation Automation(Main, TStart_Mode::User);
    Main.show();

    std::optional<TClient> Client;
    if (Case.Client != TClient_State::None) {
      Client.emplace(QStringLiteral("closing-") + QString::fromLatin1(Case.Name));
      const QDBusPendingCall Set = Client->Property(QStringLiteral("Gain"), Case.Gain);
      ASSERT_TRUE(Wait_For([&] { return Set.isFinished(); }));
      Reply(Set);
    } else {
      Main.Settings.Gain = Case.Gain;
    }
    if (Case.Client == TClient_State::Left) {
      Client->Leave();
      const auto* Server = Automation.findChild<TKorvane_Server*>();
      ASSERT_NE(Server, nullptr);
      ASSERT_TRUE(Wait_For([&] { return Server->Client_Count() == 0; }))
          << "the client's leaving went unseen";
    }

    int Asked = 0;
    const TClose_Question Previous = Set_Close_Question([&](QMessageBox& Box) {
      ++Asked;
      EXPECT_EQ(Box.windowTitle(), QStringLiteral("COM Server Warning"));
      EXPECT_EQ(Box.text(), Question_Text);
      EXPECT_EQ(Box.icon(), QMessageBox::Warning);
      EXPECT_EQ(Box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
      EXPECT_EQ(Box.defaultButton(), Box.button(QMessageBox::No));
      return Case.Answer.value_or(QMessageBox::No);
    });
    fs::remove(Ini_Path());
    const bool Closed = Main.close();
    Set_Close_Question(Previous);

    EXPECT_EQ(Asked, Case.Answer ? 1 : 0);
    EXPECT_EQ(Closed, Case.Closed);
    EXPECT_EQ(Main.isVisible(), !Case.Closed);
    // The settings are written before the question, whatever its answer.
    TSettings Written = Default_Settings((Root / "home").string());
    EXPECT_EQ(Load_Settings_File(Ini_Path().string(), Written).Kind, TSettings_File_State::TKind::Good);
    EXPECT_EQ(Written.Gain, Case.Gain);
  }
}

// Plate solving in the program: with Solve_On_Open, Magnitude on a frame saved without a
// solution solves it (the one real solve) and measures; without it the frame stays "not
// plate-solved" until PlateSolve (the solution then from the cache) or the FITs menu's
// Plate Solve, which is offered only meanwhile; without the solver a box says what to install.
TEST_F(Automation_Window, Unsolved_Frames_Are_Solved_On_Open_Or_On_Request) {
  const std::vector<TIndex_Star> Stars = Index_Stars(80.0, 30.0, 1.8);
  ASSERT_GT(Stars.size(), 20u);
  const TStar_Field_Description D = Index_Field(Stars, 800, 80.0, 30.0, 11.0);
  const TStar_Field Field = Make_Star_Field(D);
  const fs::path Frame = Root / "unsolved.fit";
  Write_Star_Field(Field, Frame.string());
  const std::string Frame_Bytes = Get(Frame);
  // The variable and its comparison: two clear stars well inside the field.
  std::vector<size_t> Clear;
  for (size_t k = 0; k < Stars.size(); ++k) {
    const TCCDPosition P = Field.Star_Positions[k];
    if (Stars[k].Mag > 8.0 && Stars[k].Mag < 9.5 && std::min(P.x, P.y) > 150 && std::max(P.x, P.y) < 650)
      Clear.push_back(k);
  }
  ASSERT_GE(Clear.size(), 2u);
  const fs::path Targets = Root / "targets.csv";
  Put(Targets,
      "Solve targets\nname,rah,ram,ras,decd,decm,decs,ref,rrah,rram,rras,rdecd,rdecm,rdecs,filter,rmag,"
      "threshold,chart\n---\n" +
          Target_Row("KV Slv", Stars[Clear[0]], Stars[Clear[1]], 5.0) + "\n");
  std::string Ini = Get(Ini_Path());
  Replace_Line(Ini, std::string(KORVANE_SOURCE_DIR) + "/examples/targets.csv", Targets.string());
  Put(Ini_Path(), Ini);
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((Root / "cache").string()));
  const QByteArray Path = qgetenv("PATH");
  const auto Restore_Path = qScopeGuard([&] {
    qputenv("PATH", Path);
    qunsetenv("XDG_CACHE_HOME");
  });

  TRecording_Messages Messages;
  TMain_Form Main(Messages);
  Main.show();
  TKorvane_Server Server(Main, QDBusConnection::sessionBus());
  QString Error;
  ASSERT_TRUE(Server.Publish(true, Error)) << Error.toStdString();
  TClient Script(QStringLiteral("solving-script"));
  // The reply of a call once it came; a solve may take its time.
  const auto Done = [&](const QDBusPendingCall& Call) {
    EXPECT_TRUE(Wait_For([&] { return Call.isFinished(); }, 60s));
    return Reply(Call);
  };
  const auto Last_Error = [&] {
    return qvariant_cast<QDBusVariant>(Done(Script.Property(QStringLiteral("LastError"))).arguments()[0])
        .variant()
        .toInt();
  };
  const auto Offered = [&] {
    emit Main.FITs1->aboutToShow();
    return Main.PlateSolve1->isEnabled();
  };

  Done(Script.Property(QStringLiteral("FileName"), QString::fromStdString(Frame.string())));
  Done(Script.Property(QStringLiteral("Solve_On_Open"), true));
  const QDBusMessage Solved = Done(Script.Call(QStringLiteral("Magnitude")));
  ASSERT_EQ(Solved.arguments().size(), 1);
  EXPECT_NEAR(Solved.arguments()[0].toDouble(), Stars[Clear[0]].Mag, 0.1);
  EXPECT_EQ(Last_Error(), 0);
  EXPECT_FALSE(Offered());
  ASSERT_NE(Main.Active_Image(), nullptr);
  EXPECT_NEAR(Main.Active_Image()->ObjectX, Field.Star_Positions[Clear[0]].x, 0.1);
  EXPECT_NEAR(Main.Active_Image()->ObjectY, Field.Star_Positions[Clear[0]].y, 0.1);
  EXPECT_TRUE(Main.Panel_Magnitude->text().startsWith(QStringLiteral("mag ")))
      << Main.Panel_Magnitude->text().toStdString();

  // Opened again without solving: not plate-solved until asked.
  Done(Script.Property(QStringLiteral("Solve_On_Open"), false));
  EXPECT_EQ(Done(Script.Call(QStringLiteral("Magnitude"))).arguments()[0].toDouble(), 0.0);
  EXPECT_EQ(Last_Error(), 2);
  EXPECT_TRUE(Offered());
  Done(Script.Call(QStringLiteral("PlateSolve")));
  EXPECT_EQ(Last_Error(), 0);
  EXPECT_EQ(Main.Active_Image()->Magnitude, Solved.arguments()[0].toDouble());

  // No solver, no cached solution: a box says what to install, and the image stays as it was.
  fs::remove_all(Root / "cache");
  qputenv("PATH", QByteArray::fromStdString((Root / "home").string()));
  Done(Script.Property(QStringLiteral("FileName"), QString::fromStdString(Frame.string())));
  Done(Script.Call(QStringLiteral("Magnitude")));
  Main.PlateSolve1->trigger();
  EXPECT_EQ(Last_Error(), 2);
  ASSERT_FALSE(Messages.Texts.empty());
  EXPECT_EQ(Messages.Texts.back(), "not solved: the solver is not installed: apt install astrometry.net "
                                   "astrometry-data-tycho2-10-19");

  // A solver that hangs: the progress box's Cancel, pressed while the event loop runs on,
  // stops it and its process at once, and nothing is said.
  const fs::path Bin = Root / "bin";
  fs::create_directories(Bin);
  fs::create_symlink("/usr/bin/sleep", Bin / "sleep");
  const fs::path Pid_File = Root / "solver.pid";
  std::ofstream(Bin / "solve-field") << "#!/bin/sh\necho $$ > '" << Pid_File.string()
                                     << "'\nexec sleep 300\n";
  fs::permissions(Bin / "solve-field", fs::perms::owner_all);
  qputenv("PATH", QByteArray::fromStdString(Bin.string()));
  Messages.Texts.clear();
  bool Cancelled = false;
  QTimer::singleShot(0, &Main, [&] {
    Wait_For([&] { return fs::exists(Pid_File) && fs::file_size(Pid_File) > 0; });
    if (auto* Progress = Main.findChild<QProgressDialog*>(QStringLiteral("Solve_Progress")))
      if (auto* Cancel = Progress->findChild<QPushButton*>()) {
        Cancel->click();
        Cancelled = true;
      }
  });
  Main.PlateSolve1->trigger();
  EXPECT_TRUE(Cancelled);
  EXPECT_TRUE(Messages.Texts.empty());
  EXPECT_EQ(Last_Error(), 2);
  const std::string Stat = Get("/proc/" + std::to_string(std::stoi(Get(Pid_File))) + "/stat");
  EXPECT_TRUE(Stat.empty() || Stat.find(") Z ") != std::string::npos) << Stat;
  EXPECT_EQ(Get(Frame), Frame_Bytes);
}

} // namespace
