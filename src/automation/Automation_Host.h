#pragma once
// What the automation service needs of the window it publishes (the main window): the
// settings a script reads and writes, the results of the active image, the few operations a
// script calls, and whether the window is busy. The main window implements this, so the
// service never includes a window above it.

#include "image/Image_Model.h"
#include "settings/Settings.h"

#include <QString>

#include <functional>

class QObject;
class QWidget;

class TAutomation_Host {
public:
  virtual ~TAutomation_Host() = default;

  // The settings of the moment: read, and changed in place (from the next use on).
  virtual const TSettings& Host_Settings() const = 0;
  virtual TSettings& Editable_Settings() = 0;
  // The model of the active image window, null when none is open.
  virtual const TImage_Model* Active_Image_Model() const = 0;

  // Only stores the name of the image that the next GetMagnitude opens.
  virtual void SetFileName(const QString& FN) = 0;
  // Opens that file in a new image window and analyses it: the magnitude when it measured,
  // else 0; without a file there (or with no name) 0, and nothing is opened.
  virtual double GetMagnitude() = 0;
  // The menu command Close Image.
  virtual void CloseImage() = 0;
  // Writes the AAVSO report of the active image window, as the "AAVSO" button does.
  virtual void AAVSO_Report() = 0;
  // Plate-solves the active image window and analyses it, as FITs, Plate Solve does; returns
  // once the solve ended.
  virtual void PlateSolve() = 0;

  // The window itself: the parent of the service's boxes. Once it is destroyed the service
  // calls nothing more here.
  virtual QWidget& Host_Window() = 0;
  // Whether work that runs the event loop while it holds the windows or the settings is under
  // way; calls that would change them wait meanwhile.
  virtual bool Busy() const = 0;
  // Slot runs from the event loop each time the last piece of work that made the host busy
  // has ended, for as long as Receiver lives.
  virtual void On_Work_Finished(QObject& Receiver, std::function<void()> Slot) = 0;
  // Asked after the settings are written at close (none when empty); false keeps the window.
  virtual void Set_Close_Query(std::function<bool()> Query) = 0;
};
