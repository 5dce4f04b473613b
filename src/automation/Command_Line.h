#pragma once
// The program's command line: switches of the automation service and the files to open.
// It sits with the service whose switches these are; the program's start reads it from
// above, so both use it without a folder including the other.

#include <QStringList>

// An argument is a switch when it is "/" or "-" followed by one of AUTOMATION, EMBEDDING,
// REGSERVER, UNREGSERVER, REGSERVERPERUSER, UNREGSERVERPERUSER, in any letter case.
bool Is_Automation_Switch(const QString& Argument);

// The arguments after the program's name that name files (everything that is not a switch,
// "/home/me/m31.fit" included, nor --night and its folder), in their order.
QStringList Files_To_Open(const QStringList& Arguments);

// How the program was asked to start: by the user, for an automation client, or to write or
// remove the automation service's registration (and end at once).
enum class TStart_Mode { User, Automation, Register, Unregister, Register_Per_User, Unregister_Per_User };

// The first of these rules that an argument after the program's name matches: AUTOMATION or
// EMBEDDING, REGSERVER, UNREGSERVER, REGSERVERPERUSER, UNREGSERVERPERUSER ("/" or "-", any
// letter case, the whole name: /regserverperuser is not /regserver). User without a switch.
TStart_Mode Start_Mode(const QStringList& Arguments);

// The folder of "--night DIR" (or "--night=DIR"), the last one given; empty without one.
QString Night_Folder(const QStringList& Arguments);
