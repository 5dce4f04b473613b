#include "automation/Command_Line.h"

bool Is_Automation_Switch(const QString& Argument) {
  static const QStringList Switches = {"AUTOMATION",  "EMBEDDING",        "REGSERVER",
                                       "UNREGSERVER", "REGSERVERPERUSER", "UNREGSERVERPERUSER"};
  if (Argument.size() < 2 || (Argument[0] != u'/' && Argument[0] != u'-'))
    return false;
  return Switches.contains(Argument.mid(1), Qt::CaseInsensitive);
}

QStringList Files_To_Open(const QStringList& Arguments) {
  QStringList Files;
  for (qsizetype i = 1; i < Arguments.size(); ++i) {
    if (Arguments[i] == QLatin1String("--night"))
      ++i; // its folder
    else if (!Is_Automation_Switch(Arguments[i]) && !Arguments[i].startsWith(QLatin1String("--night=")))
      Files.append(Arguments[i]);
  }
  return Files;
}

QString Night_Folder(const QStringList& Arguments) {
  QString Folder;
  for (qsizetype i = 1; i < Arguments.size(); ++i) {
    if (Arguments[i] == QLatin1String("--night") && i + 1 < Arguments.size())
      Folder = Arguments[++i];
    else if (Arguments[i].startsWith(QLatin1String("--night=")))
      Folder = Arguments[i].mid(8);
  }
  return Folder;
}

TStart_Mode Start_Mode(const QStringList& Arguments) {
  struct TRule {
    TStart_Mode Mode;
    QStringList Names;
  };
  static const TRule Rules[] = {
      {TStart_Mode::Automation, {"AUTOMATION", "EMBEDDING"}},
      {TStart_Mode::Register, {"REGSERVER"}},
      {TStart_Mode::Unregister, {"UNREGSERVER"}},
      {TStart_Mode::Register_Per_User, {"REGSERVERPERUSER"}},
      {TStart_Mode::Unregister_Per_User, {"UNREGSERVERPERUSER"}},
  };
  for (const TRule& Rule : Rules)
    for (qsizetype i = 1; i < Arguments.size(); ++i)
      if (Is_Automation_Switch(Arguments[i]) && Rule.Names.contains(Arguments[i].mid(1), Qt::CaseInsensitive))
        return Rule.Mode;
  return TStart_Mode::User;
}
