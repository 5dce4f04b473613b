// The completeness rule and the folder watcher: a frame is handed on once it is complete,
// never while half-written, whether it is renamed in or written slowly in place.

#include "night/Folder_Watcher.h"
#include "night/Night.h"
#include "support/Fits_Writer.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A 100 x 50 16-bit frame: one header record and 10000 data bytes, padded to 11520.
std::string Frame_Bytes() {
  TFits_Writer Writer = Standard_Header(100, 50);
  return Writer.Header_Bytes() + TFits_Writer::Data_Bytes(std::vector<int16_t>(100 * 50, 7)) +
         std::string(11520 - 10000, '\0');
}

TWatch_Options Quick() {
  TWatch_Options Options;
  Options.Poll_Interval = 20ms;
  Options.Stable_For = 150ms;
  Options.Give_Up_After = 2000ms;
  return Options;
}

} // namespace

TEST(Frame_Complete, Header_And_Data_Decide_Unless_Only_The_Size_Can) {
  const std::string Frame = Frame_Bytes();
  TFits_Writer Empty;
  Empty.Add("SIMPLE", "T");
  Empty.Add("BITPIX", "16");
  Empty.Add("NAXIS", "0");
  TFits_Writer Cube = Standard_Header(100, 50);
  Cube.Cards[2].replace(10, 20, std::string(19, ' ') + "3");
  Cube.Add("NAXIS3", "4");
  TFits_Writer Float = Standard_Header(100, 50);
  Float.Cards[1].replace(10, 20, std::string(17, ' ') + "-64");
  // A primary header without data, then the image as an extension, or a tile-compressed
  // image's table whose heap PCOUNT counts.
  TFits_Writer Primary = Empty;
  Primary.Add("EXTEND", "T");
  TFits_Writer Extension;
  Extension.Add("XTENSION", "'IMAGE   '");
  Extension.Add("BITPIX", "16");
  Extension.Add("NAXIS", "2");
  Extension.Add("NAXIS1", "100");
  Extension.Add("NAXIS2", "50");
  Extension.Add("PCOUNT", "0");
  Extension.Add("GCOUNT", "1");
  TFits_Writer Table;
  Table.Add("XTENSION", "'BINTABLE'");
  Table.Add("BITPIX", "8");
  Table.Add("NAXIS", "2");
  Table.Add("NAXIS1", "8");
  Table.Add("NAXIS2", "50");
  Table.Add("PCOUNT", "3000");
  Table.Add("GCOUNT", "1");
  Table.Add("ZIMAGE", "T");
  const std::string Two_Headers = Primary.Header_Bytes() + Extension.Header_Bytes();
  const struct {
    const char* Name;
    std::string Bytes;
    bool Complete;
  } Cases[] = {
      {"nothing yet", "", false},
      {"half a header record", Frame.substr(0, 1000), false},
      {"the header record without END", Standard_Header(100, 50).Header_Bytes(false).substr(0, 480), false},
      {"header only", Frame.substr(0, 2880), false},
      {"one data byte short", Frame.substr(0, 2880 + 9999), false},
      {"data complete, padding not yet written", Frame.substr(0, 2880 + 10000), true},
      {"whole", Frame, true},
      {"no data announced", Empty.Header_Bytes(), true},
      {"a third axis counts", Cube.Header_Bytes() + std::string(10000, '\0'), false},
      {"a third axis complete", Cube.Header_Bytes() + std::string(40000, '\0'), true},
      {"eight bytes a pixel", Float.Header_Bytes() + std::string(20000, '\0'), false},
      {"primary header only, the extension to come", Primary.Header_Bytes(), false},
      {"the extension's header only", Two_Headers, false},
      {"the extension one byte short", Two_Headers + std::string(9999, '\0'), false},
      {"the extension complete", Two_Headers + std::string(10000, '\0'), true},
      {"a compressed table without its heap",
       Primary.Header_Bytes() + Table.Header_Bytes() + std::string(400, '\0'), false},
      {"a compressed table with its heap",
       Primary.Header_Bytes() + Table.Header_Bytes() + std::string(3400, '\0'), true},
      {"gzip: the size alone decides", std::string("\x1f\x8b\x08", 3), true},
      {"not a FITS file", std::string(2880, 'x'), true},
  };
  TScratch_Folder Folder("korvane-night");
  for (const auto& Case : Cases) {
    const std::string Path = Folder.Write("f.fit", Case.Bytes);
    EXPECT_EQ(Frame_Complete(Read_Frame_Extent(Path), Case.Bytes.size()), Case.Complete) << Case.Name;
  }
}

TEST(Folder_Watcher, Hands_On_Each_Frame_Once_When_Complete) {
  TScratch_Folder Folder("korvane-night");
  const std::string Frame = Frame_Bytes();
  Folder.Write("b_present.fit", Frame);
  Folder.Write("a_partial.fits", Frame.substr(0, 3000));
  Folder.Write("notes.txt", "x");
  TFolder_Watcher Watcher(Folder.Folder.string(), Quick());
  // Present and complete: at once; the partial one waits for its writer.
  EXPECT_EQ(Watcher.Initial_Frames(), std::vector<std::string>{Folder.Path("b_present.fit")});

  // Renamed in from a name that is not a frame's.
  Folder.Write(".incoming", Frame);
  fs::rename(Folder.Path(".incoming"), Folder.Path("c_renamed.FIT"));
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(Watcher.Wait_For_Frames(), std::vector<std::string>{Folder.Path("c_renamed.FIT")});
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 1s);

  // Written slowly in place, with pauses longer than the stable interval: handed on only
  // once the last byte of data is there.
  std::thread Writer([&] {
    std::ofstream Out(Folder.Path("d_slow.fts"), std::ios::binary);
    for (size_t At = 0; At < Frame.size(); At += 2000) {
      Out.write(Frame.data() + At, static_cast<std::streamsize>(std::min<size_t>(2000, Frame.size() - At)));
      Out.flush();
      std::this_thread::sleep_for(250ms);
    }
  });
  std::vector<std::string> Got = Watcher.Wait_For_Frames();
  const uintmax_t Size_When_Handed = fs::file_size(Folder.Path("d_slow.fts"));
  Writer.join();
  EXPECT_EQ(Got, std::vector<std::string>{Folder.Path("d_slow.fts")});
  EXPECT_GE(Size_When_Handed, 2880u + 10000u);

  // The partial frame present at start completes; a frame removed before it was read is
  // handed on too (reading it then says why).
  std::ofstream(Folder.Path("a_partial.fits"), std::ios::binary | std::ios::app) << Frame.substr(3000);
  Got = Watcher.Wait_For_Frames();
  EXPECT_EQ(Got, std::vector<std::string>{Folder.Path("a_partial.fits")});
  Folder.Write("e_vanishing.fit", Frame.substr(0, 100));
  std::this_thread::sleep_for(50ms);
  fs::remove(Folder.Path("e_vanishing.fit"));
  EXPECT_EQ(Watcher.Wait_For_Frames(), std::vector<std::string>{Folder.Path("e_vanishing.fit")});

  // Stop from another thread ends a wait at once.
  std::thread Stopper([&] {
    std::this_thread::sleep_for(100ms);
    Watcher.Stop();
  });
  const auto Stop_Start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Watcher.Wait_For_Frames().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - Stop_Start, 1s);
  Stopper.join();
}

TEST(Folder_Watcher, Refuses_A_Missing_Folder) {
  EXPECT_THROW(TFolder_Watcher("/nonexistent/korvane-night"), TKorvane_Error);
  EXPECT_THROW(List_Frames("/nonexistent/korvane-night"), TKorvane_Error);
}

TEST(Night_Frames, Frames_Are_Known_By_Their_Names) {
  const struct {
    const char* Name;
    bool Frame;
  } Cases[] = {{"m31.fit", true},      {"M31.FITS", true},  {"m31.fts", true},     {"m31.fits.gz", true},
               {"m31.FIT.GZ", true},   {"m31.fz", true},    {"m31.fits.fz", true}, {".fit", false},
               {"m31.fit.txt", false}, {"notes.gz", false}, {"m31.jpg", false}};
  for (const auto& Case : Cases)
    EXPECT_EQ(Is_Fits_File_Name(Case.Name), Case.Frame) << Case.Name;
}
