#pragma once
// What the light curve window needs of the window that owns the settings and the catalogue
// (the main window): the report folder, the user's decimal separator, a target's outburst
// threshold and a way to show an error. The main window implements this, so the light curve
// window never includes a window above it.

#include "text/Number_Format.h"

#include <optional>
#include <string>
#include <string_view>

class TLight_Curve_Host {
public:
  virtual ~TLight_Curve_Host() = default;

  // The folder the reports are written to (ReportFileDir of the settings of the moment).
  virtual std::string Report_Folder() const = 0;
  // The user's decimal separator, read once at start.
  virtual TNumber_Format Host_Number_Format() const = 0;
  // The outburst threshold of the catalogue target called Name (names compared as
  // Target_Key does); nullopt when the catalogue does not know the target or gives it none.
  virtual std::optional<double> Target_Threshold(std::string_view Name) const = 0;
  // Shows Text in the program's error box.
  virtual void Show_Error(const std::string& Text) = 0;
  // Around a dialog of the window: the host holds back what would change or close windows
  // while the dialog runs the event loop.
  virtual void Begin_Modal() = 0;
  virtual void End_Modal() = 0;
};
