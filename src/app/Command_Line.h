#pragma once
// The program's command line: switches of the automation service and the files to open.

#include <QStringList>

// An argument is a switch when it is "/" or "-" followed by one of AUTOMATION, EMBEDDING,
// REGSERVER, UNREGSERVER, REGSERVERPERUSER, UNREGSERVERPERUSER, in any letter case.
bool Is_Automation_Switch(const QString& Argument);

// The arguments after the program's name that name files (everything that is not a switch,
// "/home/me/m31.fit" included), in their order.
QStringList Files_To_Open(const QStringList& Arguments);
