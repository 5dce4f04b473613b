#pragma once
// What an image window needs of the window that holds it (the main window): its settings,
// its status panels, its scale list and a few of its operations. The main window implements
// this, so the image window never includes a window above it.

#include "settings/Settings.h"
#include "text/Number_Format.h"

#include <QString>

// The bottom-bar panels an image window writes.
enum class TImage_Panel {
  BP,
  WP,
  Location,
  Pixel,
  Position,
  Report_Written,
  Ref_Background,
  Star_Background,
};

class TImage_Host {
public:
  virtual ~TImage_Host() = default;

  // The settings of the moment: aperture sizes and Show_Annulus at every painting,
  // Scale_Index when a new window takes its first scale.
  virtual const TSettings& Host_Settings() const = 0;
  virtual TNumber_Format Host_Number_Format() const = 0;

  virtual void Set_Panel_Text(TImage_Panel Panel, const QString& Text) = 0;
  // Selects the entry in the scale list, as code (not as a choice of the user).
  virtual void Select_Scale(int Index) = 0;
  // How many image windows the host holds, a closing one included.
  virtual int Image_Window_Count() const = 0;

  virtual void Show_Results() = 0;
  virtual void Trigger_Results() = 0;
  virtual void Clear_Top_Panels() = 0;
  virtual void Clear_Bottom_Panels() = 0;
  virtual void Hide_Zoom() = 0;
  // Ctrl and the left button dragged over an image: the host's vertical scroll range
  // becomes its client height, the position 700, and the box "Control" is shown.
  virtual void Control_Drag() = 0;
};
