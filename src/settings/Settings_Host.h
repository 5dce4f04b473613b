#pragma once
// What the settings dialog needs of the window that owns the settings (the main window):
// the settings themselves, the user's number format, a fresh rendering of every open image
// window and a way to show an error. The main window implements this, so the dialog never
// includes a window above it.

#include "settings/Settings.h"
#include "text/Number_Format.h"

#include <string>

class TSettings_Host {
public:
  virtual ~TSettings_Host() = default;

  // The settings the dialog edits in place; every edit is in force from the next use on.
  virtual TSettings& Editable_Settings() = 0;
  // The user's decimal separator, read once at start.
  virtual TNumber_Format Host_Number_Format() const = 0;
  // Every open image window renders its picture again with its marks and shows it, so that
  // a new aperture radius is seen at once.
  virtual void Render_Image_Windows() = 0;
  // Shows Text in the program's error box. The dialog reports through here rather than by
  // throwing, as its errors arise inside a field's change notification.
  virtual void Show_Error(const std::string& Text) = 0;
};
