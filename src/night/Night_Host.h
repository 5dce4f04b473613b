#pragma once
// What the night table needs of the window that owns the settings and the catalogue (the main
// window): both, the report settings its AAVSO button writes with, opening a frame in an image
// window, and the error box. The main window implements this, so the night window never
// includes a window above it.

#include "catalogue/Target_Data.h"
#include "report/Report.h"
#include "settings/Settings.h"
#include "text/Number_Format.h"

#include <QString>

#include <string>

class TNight_Host {
public:
  virtual ~TNight_Host() = default;

  // The settings and catalogue of the moment; a night takes a copy of both when it starts.
  virtual const TSettings& Host_Settings() const = 0;
  virtual const TTarget_Catalogue& Host_Catalogue() const = 0;
  virtual TNumber_Format Host_Number_Format() const = 0;
  // The report settings as the AAVSO button uses them (its folder made on first use).
  virtual TReport_Settings Host_Report_Settings() const = 0;
  // Opens Path in an image window, measured, as Open Image does.
  virtual void Open_Frame(const QString& Path) = 0;
  virtual void Show_Error(const std::string& Text) = 0;
  // Around a box or dialog of the night window.
  virtual void Begin_Modal() = 0;
  virtual void End_Modal() = 0;
};
