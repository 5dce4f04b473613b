#include "automation/Unit_Server.h"

#include "automation/Automation_Host.h"
#include "automation/Service_File.h"
#include "photometry/Photometry.h"
#include "settings/Settings.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QMetaType>
#include <QVariantMap>
#include <QWidget>

#include <exception>
#include <iterator>

namespace {

const QString Properties_Interface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString Introspectable_Interface = QStringLiteral("org.freedesktop.DBus.Introspectable");

enum class TKind { Property, Method };

// A camera value as it travels: kept in single precision, widened to double.
double Single(double Value) {
  return static_cast<double>(static_cast<float>(Value));
}

template <double TSettings::*Field> QVariant Get_Single(const TAutomation_Host& Host) {
  return Single(Host.Host_Settings().*Field);
}

template <double TSettings::*Field> void Set_Single(TAutomation_Host& Host, const QVariant& Value) {
  Host.Editable_Settings().*Field = Single(Value.toDouble());
}

template <bool TSettings::*Field> QVariant Get_Boolean(const TAutomation_Host& Host) {
  return Host.Host_Settings().*Field;
}

template <bool TSettings::*Field> void Set_Boolean(TAutomation_Host& Host, const QVariant& Value) {
  Host.Editable_Settings().*Field = Value.toBool();
}

// A check-star value of the active image: 0 without an image or a measured check star.
template <double TImage_Model::*Field> QVariant Get_Check(const TAutomation_Host& Host) {
  const TImage_Model* Image = Host.Active_Image_Model();
  return QVariant(Image != nullptr && Image->Has_Check ? Image->*Field : 0.0);
}

// One member of the interface: everything the binding knows of it. Type is the value's
// D-Bus type ('s' text, 'd' double, 'i' int, 'b' Boolean), 0 for a method without one. A
// property can be read when it has Get, written when it has Set; a method runs Call, whose
// value (an invalid one for none) is the reply.
struct TMember {
  int DispID;
  const char* Name;
  TKind Kind;
  char Type;
  const char* Help;
  QVariant (*Get)(const TAutomation_Host& Host);
  void (*Set)(TAutomation_Host& Host, const QVariant& Value);
  QVariant (*Call)(TAutomation_Host& Host);
};

// The interface's members in their fixed order. The results of the active image read as 0
// without one (LastError as "nothing measured").
constexpr TMember Members[] = {
    {201, "FileName", TKind::Property, 's', "File Name", nullptr,
     [](TAutomation_Host& Host, const QVariant& Value) { Host.SetFileName(Value.toString()); }, nullptr},
    {202, "Magnitude", TKind::Method, 'd', "Magnitude", nullptr, nullptr,
     [](TAutomation_Host& Host) { return QVariant(Host.GetMagnitude()); }},
    {203, "LastError", TKind::Property, 'i', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(static_cast<int>(Image != nullptr ? Image->Last_Error : TResult_Code::Not_Measured));
     },
     nullptr, nullptr},
    {204, "CloseFile", TKind::Method, 0, nullptr, nullptr, nullptr,
     [](TAutomation_Host& Host) {
       Host.CloseImage();
       return QVariant();
     }},
    {205, "Threshold", TKind::Property, 'd', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(Image != nullptr ? Image->Threshold : 0.0);
     },
     nullptr, nullptr},
    {206, "Gain", TKind::Property, 'd', nullptr, Get_Single<&TSettings::Gain>, Set_Single<&TSettings::Gain>,
     nullptr},
    {207, "degC", TKind::Property, 'd', nullptr, Get_Single<&TSettings::degC>, Set_Single<&TSettings::degC>,
     nullptr},
    {208, "Readout_Noise", TKind::Property, 'd', nullptr, Get_Single<&TSettings::Readout_Noise>,
     Set_Single<&TSettings::Readout_Noise>, nullptr},
    {209, "Dark_Current", TKind::Property, 'd', nullptr, Get_Single<&TSettings::Dark_Current>,
     Set_Single<&TSettings::Dark_Current>, nullptr},
    {210, "Standard_Deviation", TKind::Property, 'd', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(Image != nullptr ? Single(Image->Std_Error) : 0.0);
     },
     nullptr, nullptr},
    {211, "Less_Than", TKind::Property, 'i', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(Image != nullptr ? Image->Less_Than : 0);
     },
     nullptr, nullptr},
    {212, "Max_Error", TKind::Property, 'd', nullptr, Get_Single<&TSettings::Max_Error>,
     Set_Single<&TSettings::Max_Error>, nullptr},
    {213, "AAVSO_Report", TKind::Method, 0, nullptr, nullptr, nullptr,
     [](TAutomation_Host& Host) {
       Host.AAVSO_Report();
       return QVariant();
     }},
    {214, "Fits_Crpix", TKind::Property, 'b', nullptr, Get_Boolean<&TSettings::Fits_Crpix>,
     Set_Boolean<&TSettings::Fits_Crpix>, nullptr},
    {215, "CheckName", TKind::Property, 's', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(Image != nullptr && Image->Has_Check ? QString::fromStdString(Image->CheckName)
                                                            : QString());
     },
     nullptr, nullptr},
    {216, "Check_Mag", TKind::Property, 'd', nullptr, Get_Check<&TImage_Model::Check_Mag>, nullptr, nullptr},
    {217, "Check_Error", TKind::Property, 'd', nullptr, Get_Check<&TImage_Model::Check_Error>, nullptr,
     nullptr},
    {218, "Check_Offset", TKind::Property, 'd', nullptr, Get_Check<&TImage_Model::Check_Offset>, nullptr,
     nullptr},
    // The saturated stars, blank-separated: "Object", "Reference", "Check"; empty when none.
    {219, "Saturated", TKind::Property, 's', nullptr,
     [](const TAutomation_Host& Host) {
       const TImage_Model* Image = Host.Active_Image_Model();
       return QVariant(Image != nullptr ? QString::fromStdString(Saturated_Names(*Image)) : QString());
     },
     nullptr, nullptr},
    {220, "Solve_On_Open", TKind::Property, 'b', nullptr, Get_Boolean<&TSettings::Solve_On_Open>,
     Set_Boolean<&TSettings::Solve_On_Open>, nullptr},
    {221, "PlateSolve", TKind::Method, 0, nullptr, nullptr, nullptr,
     [](TAutomation_Host& Host) {
       Host.PlateSolve();
       return QVariant();
     }},
};

// A property is read, written or both and calls nothing; a method only calls; identifiers are
// unique. Checked when a server is made (not at compile time: the sanitizer builds cannot
// compare the functions' addresses in a constant expression).
bool Members_Are_Whole() {
  for (const TMember& Member : Members) {
    const bool Property = Member.Kind == TKind::Property;
    if (Property ? (Member.Get == nullptr && Member.Set == nullptr) || Member.Call != nullptr
                 : Member.Get != nullptr || Member.Set != nullptr || Member.Call == nullptr)
      return false;
    if (Property && Member.Type == 0)
      return false;
    for (const TMember& Other : Members)
      if (&Other != &Member && Other.DispID == Member.DispID)
        return false;
  }
  return true;
}

const TMember* Find(const QString& Name, TKind Kind) {
  for (const TMember& Member : Members)
    if (Member.Kind == Kind && Name == QLatin1String(Member.Name))
      return &Member;
  return nullptr;
}

// Whether a written value fits the property: text for text, a Boolean for a Boolean, any
// number for a number.
bool Fits(const TMember& Member, const QVariant& Value) {
  const int Id = Value.metaType().id();
  if (Member.Type == 's')
    return Id == QMetaType::QString;
  if (Member.Type == 'b')
    return Id == QMetaType::Bool;
  switch (Id) {
  case QMetaType::Double:
  case QMetaType::Int:
  case QMetaType::UInt:
  case QMetaType::LongLong:
  case QMetaType::ULongLong:
  case QMetaType::Short:
  case QMetaType::UShort:
  case QMetaType::UChar:
    return true;
  default:
    return false;
  }
}

QString Annotation(const char* Name, const QString& Value, const QString& Indent) {
  return Indent + QStringLiteral("<annotation name=\"%1\" value=\"%2\"/>\n")
                      .arg(QLatin1String(Name), Value.toHtmlEscaped());
}

// Whether the call only reads (a property's value): such a call may answer while the main
// window is busy; every other one may close, open or change windows or settings.
bool Only_Reads(const QDBusMessage& Message) {
  return Message.interface() == Properties_Interface &&
         (Message.member() == QLatin1String("Get") || Message.member() == QLatin1String("GetAll"));
}

QDBusMessage Error_Reply(const QDBusMessage& Message, const char* Name, const QString& Text) {
  return Message.createErrorReply(QLatin1String(Name), Text);
}

} // namespace

TKorvane_Server::TKorvane_Server(TAutomation_Host& Host_, QDBusConnection Connection, QObject* Parent)
    : QDBusVirtualObject(Parent), Host(Host_), Window(&Host_.Host_Window()), Bus(Connection) {
  if (!Members_Are_Whole())
    qFatal("korvane: the D-Bus member table has a row that is neither whole nor unique");
  Watcher = new QDBusServiceWatcher(this);
  Watcher->setConnection(Bus);
  Watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(Watcher, &QDBusServiceWatcher::serviceUnregistered, this, &TKorvane_Server::Client_Left);
  // Calls held back while the main window was busy are served from the event loop, once the
  // work that made it busy has returned.
  Host.On_Work_Finished(*this, [this] { Serve_Waiting(); });
}

TKorvane_Server::~TKorvane_Server() {
  Bus.unregisterObject(QLatin1String(Server_Object_Path));
}

bool TKorvane_Server::Publish(bool Own_Name, QString& Error) {
  if (!Bus.isConnected()) {
    Error = QStringLiteral("the session bus cannot be reached: ") + Bus.lastError().message();
    return false;
  }
  if (!Bus.registerVirtualObject(QLatin1String(Server_Object_Path), this)) {
    Error = QStringLiteral("the object %1 cannot be registered").arg(QLatin1String(Server_Object_Path));
    return false;
  }
  if (Own_Name && !Bus.registerService(QLatin1String(Service_Bus_Name))) {
    Error = QStringLiteral("the bus name %1 is taken").arg(QLatin1String(Service_Bus_Name));
    return false;
  }
  return true;
}

void TKorvane_Server::Release_Name() {
  Bus.unregisterService(QLatin1String(Service_Bus_Name));
}

QString TKorvane_Server::introspect(const QString&) const {
  const QString In1 = QStringLiteral("  "), In2 = QStringLiteral("    "), In3 = QStringLiteral("      ");
  QString Xml = In1 + QStringLiteral("<interface name=\"%1\">\n").arg(QLatin1String(Server_Interface));
  Xml += Annotation("Korvane.Help", QStringLiteral("Dispatch interface for Korvane_Server Object"), In2);
  Xml += Annotation("org.freedesktop.DBus.Property.EmitsChangedSignal", QStringLiteral("false"), In2);
  for (const TMember& Member : Members) {
    const QString Name = QLatin1String(Member.Name);
    QString Tail;
    if (Member.Kind == TKind::Property) {
      const bool Readable = Member.Get != nullptr, Writable = Member.Set != nullptr;
      const char* Access = Readable && Writable ? "readwrite" : Readable ? "read" : "write";
      Xml += In2 + QStringLiteral("<property name=\"%1\" type=\"%2\" access=\"%3\">\n")
                       .arg(Name, QChar::fromLatin1(Member.Type), QLatin1String(Access));
      Tail = In2 + QStringLiteral("</property>\n");
    } else {
      Xml += In2 + QStringLiteral("<method name=\"%1\">\n").arg(Name);
      if (Member.Type != 0)
        Xml += In3 + QStringLiteral("<arg name=\"Value\" type=\"%1\" direction=\"out\"/>\n")
                         .arg(QChar::fromLatin1(Member.Type));
      Tail = In2 + QStringLiteral("</method>\n");
    }
    Xml += Annotation("Korvane.DispID", QString::number(Member.DispID), In3);
    if (Member.Help != nullptr)
      Xml += Annotation("Korvane.Help", QLatin1String(Member.Help), In3);
    Xml += Tail;
  }
  return Xml + In1 + QStringLiteral("</interface>\n");
}

bool TKorvane_Server::handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) {
  if (Message.type() != QDBusMessage::MethodCallMessage)
    return false;
  Note_Client(Message.service());
  if (Message.interface() == Introspectable_Interface && Message.member() == QLatin1String("Introspect")) {
    const QString Xml =
        QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"
                       "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
                       "    <method name=\"Introspect\">\n"
                       "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
                       "    </method>\n  </interface>\n"
                       "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
                       "    <method name=\"Get\">\n"
                       "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
                       "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
                       "      <arg name=\"value\" type=\"v\" direction=\"out\"/>\n"
                       "    </method>\n"
                       "    <method name=\"Set\">\n"
                       "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
                       "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
                       "      <arg name=\"value\" type=\"v\" direction=\"in\"/>\n"
                       "    </method>\n"
                       "    <method name=\"GetAll\">\n"
                       "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
                       "      <arg name=\"values\" type=\"a{sv}\" direction=\"out\"/>\n"
                       "    </method>\n  </interface>\n") +
        introspect(Message.path()) + QStringLiteral("</node>\n");
    Connection.send(Message.createReply(Xml));
    return true;
  }
  // A call that comes while another runs (inside its message box, say) waits its turn, and
  // so does one that would change what the main window is working on (an image being read
  // while its box waits, whoever opened it). Calls are served in arrival order.
  TCall Call{Message, Connection};
  if (Busy || !Waiting.empty() || Must_Wait(Message)) {
    Message.setDelayedReply(true);
    Waiting.push_back(std::move(Call));
    return true;
  }
  Busy = true;
  Serve(Call);
  Busy = false;
  Serve_Waiting();
  return true;
}

bool TKorvane_Server::Must_Wait(const QDBusMessage& Message) const {
  return !Window.isNull() && Host.Busy() && !Only_Reads(Message);
}

void TKorvane_Server::Serve_Waiting() {
  if (Busy)
    return;
  Busy = true;
  while (!Waiting.empty() && !Must_Wait(Waiting.front().Message)) {
    const TCall Next = std::move(Waiting.front());
    Waiting.pop_front();
    Serve(Next);
  }
  Busy = false;
}

void TKorvane_Server::Serve(const TCall& Call) {
  QDBusMessage Reply;
  try {
    Reply = Answer(Call.Message);
  } catch (const std::exception& Error) {
    Reply = Error_Reply(Call.Message, Server_Error, QString::fromStdString(Error.what()));
  } catch (...) {
    Reply = Error_Reply(Call.Message, Server_Error, QStringLiteral("Unknown error"));
  }
  if (Call.Message.isReplyRequired())
    Call.Connection.send(Reply);
}

QDBusMessage TKorvane_Server::Answer(const QDBusMessage& Message) {
  if (Window.isNull())
    return Error_Reply(Message, Server_Error, QStringLiteral("The main window is closed"));
  const QString Interface = QLatin1String(Server_Interface);
  const QList<QVariant> Arguments = Message.arguments();
  const auto Unknown_Property = [&](const QString& Name) {
    return Error_Reply(Message, "org.freedesktop.DBus.Error.UnknownProperty",
                       QStringLiteral("No property %1 in %2").arg(Name, Interface));
  };

  if (Message.interface() == Properties_Interface) {
    const QString Member = Message.member();
    const bool Get = Member == QLatin1String("Get") && Message.signature() == QLatin1String("ss");
    const bool Set = Member == QLatin1String("Set") && Message.signature() == QLatin1String("ssv");
    const bool Get_All = Member == QLatin1String("GetAll") && Message.signature() == QLatin1String("s");
    if (!Get && !Set && !Get_All)
      return Error_Reply(Message, "org.freedesktop.DBus.Error.InvalidArgs",
                         QStringLiteral("No method %1 with signature '%2' in %3")
                             .arg(Member, Message.signature(), Properties_Interface));
    const QString Asked = Arguments[0].toString();
    if (Asked != Interface && !(Get_All && Asked.isEmpty()))
      return Error_Reply(Message, "org.freedesktop.DBus.Error.UnknownInterface",
                         QStringLiteral("No interface %1 here").arg(Asked));
    if (Get_All) {
      QVariantMap Values;
      for (const TMember& Property : Members)
        if (Property.Kind == TKind::Property && Property.Get != nullptr)
          Values.insert(QLatin1String(Property.Name), Property.Get(Host));
      return Message.createReply(QVariant::fromValue(Values));
    }
    const QString Name = Arguments[1].toString();
    const TMember* Property = Find(Name, TKind::Property);
    if (Property == nullptr)
      return Unknown_Property(Name);
    if (Get) {
      if (Property->Get == nullptr)
        return Error_Reply(Message, "org.freedesktop.DBus.Error.AccessDenied",
                           QStringLiteral("The property %1 can only be written").arg(Name));
      return Message.createReply(QVariant::fromValue(QDBusVariant(Property->Get(Host))));
    }
    if (Property->Set == nullptr)
      return Error_Reply(Message, "org.freedesktop.DBus.Error.PropertyReadOnly",
                         QStringLiteral("The property %1 can only be read").arg(Name));
    const QVariant Value = qvariant_cast<QDBusVariant>(Arguments[2]).variant();
    if (!Fits(*Property, Value))
      return Error_Reply(Message, "org.freedesktop.DBus.Error.InvalidArgs",
                         QStringLiteral("The property %1 takes %2")
                             .arg(Name, Property->Type == 's'   ? "text"
                                        : Property->Type == 'b' ? "true or false"
                                                                : "a number"));
    if (Property->Type == 'd') {
      // Checked as it will be stored, in single precision: 1e300 would become infinity.
      const double Stored = static_cast<double>(static_cast<float>(Value.toDouble()));
      const std::string Problem = Setting_Value_Problem(Property->Name, Stored);
      if (!Problem.empty())
        return Error_Reply(Message, "org.freedesktop.DBus.Error.InvalidArgs",
                           QStringLiteral("%1 is refused: %2; the setting stays as it was")
                               .arg(QString::number(Value.toDouble()), QString::fromStdString(Problem)));
    }
    Property->Set(Host, Value);
    return Message.createReply();
  }

  if (Message.interface() != Interface && !Message.interface().isEmpty())
    return Error_Reply(Message, "org.freedesktop.DBus.Error.UnknownInterface",
                       QStringLiteral("No interface %1 here").arg(Message.interface()));
  const TMember* Method = Find(Message.member(), TKind::Method);
  if (Method == nullptr || !Message.signature().isEmpty())
    return Error_Reply(Message, "org.freedesktop.DBus.Error.UnknownMethod",
                       QStringLiteral("No method %1 with signature '%2' in %3")
                           .arg(Message.member(), Message.signature(), Interface));
  const QVariant Value = Method->Call(Host);
  return Method->Type != 0 ? Message.createReply(Value) : Message.createReply();
}

void TKorvane_Server::Note_Client(const QString& Sender) {
  if (!Sender.startsWith(QLatin1Char(':')) || Clients.contains(Sender))
    return;
  Clients.insert(Sender);
  Watcher->addWatchedService(Sender);
  // A client that left before the watch began would never be seen leaving.
  const QDBusReply<bool> Present = Bus.interface()->isServiceRegistered(Sender);
  if (Present.isValid() && !Present.value())
    Client_Left(Sender);
}

void TKorvane_Server::Client_Left(const QString& Name) {
  Watcher->removeWatchedService(Name);
  if (Clients.remove(Name) && Clients.isEmpty())
    emit Last_Client_Left();
}
