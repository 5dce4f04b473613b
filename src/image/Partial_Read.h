#pragma once
// Opening an image for headless measuring: the header is read and checked as Open_File does,
// and each pixel only when a measurement first asks for it, straight from its place in the
// file. A night of large frames then costs little more than their headers.

#include "image/Image_Model.h"
#include "text/Messages.h"

#include <string>

// Open_File with Options.Pixels_On_Demand: the same header fields, findings and refusals
// (the check that the file holds every row the header promises included), and an image
// array that reads the columns of a row as they are asked for (TImageArray::Span). The file
// stays open while the array lives. Open_File calls this; the window never does.
void Open_Pixels_On_Demand(TImage_Model& Image, const std::string& FName, TMessages& Messages,
                           const TOpen_Options& Options);
