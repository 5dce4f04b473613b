#include "app/Command_Line.h"

bool Is_Automation_Switch(const QString& Argument) {
  static const QStringList Switches = {"AUTOMATION",  "EMBEDDING",        "REGSERVER",
                                       "UNREGSERVER", "REGSERVERPERUSER", "UNREGSERVERPERUSER"};
  if (Argument.size() < 2 || (Argument[0] != u'/' && Argument[0] != u'-'))
    return false;
  return Switches.contains(Argument.mid(1), Qt::CaseInsensitive);
}

QStringList Files_To_Open(const QStringList& Arguments) {
  QStringList Files;
  for (qsizetype i = 1; i < Arguments.size(); ++i)
    if (!Is_Automation_Switch(Arguments[i]))
      Files.append(Arguments[i]);
  return Files;
}
