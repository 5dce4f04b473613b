#include "support/Fits_Writer.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

namespace {

constexpr size_t Card_Length = 80;
constexpr size_t Record_Length = 2880;

std::string Fit_Card(std::string Card) {
  Card.resize(Card_Length, ' ');
  return Card;
}

// Shortest text that reads back to the same double, always with a point.
std::string Real_Text(double Value) {
  char Buffer[64];
  auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  std::string Text(Buffer, Result.ptr);
  if (Text.find_first_of(".eEn") == std::string::npos)
    Text += ".0";
  return Text;
}

void Append_Word(std::string& Out, uint16_t Word) {
  Out += static_cast<char>(Word >> 8);
  Out += static_cast<char>(Word & 0xFF);
}

} // namespace

void TFits_Writer::Add(const std::string& Key, const std::string& Value, const std::string& Comment) {
  std::string Card = Key;
  Card.resize(8, ' ');
  Card += "= ";
  // Value right-justified so that it ends in column 30 (columns 11 to 30 hold 20 characters).
  if (Value.size() < 20)
    Card.append(20 - Value.size(), ' ');
  Card += Value;
  if (!Comment.empty())
    Card += " / " + Comment;
  Cards.push_back(Fit_Card(std::move(Card)));
}

void TFits_Writer::Add_Raw(const std::string& Card) {
  Cards.push_back(Fit_Card(Card));
}

std::string TFits_Writer::Header_Bytes(bool Pad) const {
  std::string Out;
  Out.reserve((Cards.size() + 1) * Card_Length + Record_Length);
  for (const std::string& Card : Cards)
    Out += Card;
  Out += Fit_Card("END");
  if (Pad && Out.size() % Record_Length != 0)
    Out.append(Record_Length - Out.size() % Record_Length, ' ');
  return Out;
}

std::string TFits_Writer::Data_Bytes(const std::vector<int16_t>& Stored) {
  std::string Out;
  Out.reserve(Stored.size() * 2);
  for (int16_t Value : Stored)
    Append_Word(Out, static_cast<uint16_t>(Value));
  return Out;
}

std::string TFits_Writer::Data_Bytes_Unsigned(const std::vector<uint16_t>& Physical) {
  std::string Out;
  Out.reserve(Physical.size() * 2);
  // Stored = physical - 32768, which as a 16-bit pattern is the physical value with the top bit flipped.
  for (uint16_t Value : Physical)
    Append_Word(Out, static_cast<uint16_t>(Value ^ 0x8000u));
  return Out;
}

void TFits_Writer::Write(const std::string& Path, const std::string& Data, bool Pad_Data) const {
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  if (!File)
    throw std::runtime_error("cannot create " + Path);
  const std::string Header = Header_Bytes(true);
  File.write(Header.data(), static_cast<std::streamsize>(Header.size()));
  File.write(Data.data(), static_cast<std::streamsize>(Data.size()));
  if (Pad_Data && Data.size() % Record_Length != 0) {
    const std::string Zeros(Record_Length - Data.size() % Record_Length, '\0');
    File.write(Zeros.data(), static_cast<std::streamsize>(Zeros.size()));
  }
  File.close();
  if (!File)
    throw std::runtime_error("cannot write " + Path);
}

TFits_Writer Standard_Header(int Columns, int Rows) {
  TFits_Writer Writer;
  Writer.Add("SIMPLE", "T", "file conforms to FITS standard");
  Writer.Add("BITPIX", "16", "number of bits per data pixel");
  Writer.Add("NAXIS", "2", "number of data axes");
  Writer.Add("NAXIS1", std::to_string(Columns), "length of data axis 1");
  Writer.Add("NAXIS2", std::to_string(Rows), "length of data axis 2");
  Writer.Add("BZERO", "32768", "offset data range to that of unsigned short");
  return Writer;
}

void Add_TAN_WCS(TFits_Writer& Writer, double Crval1, double Crval2, double Crpix1, double Crpix2,
                 double Cd11, double Cd12, double Cd21, double Cd22) {
  Writer.Add("CTYPE1", "'RA---TAN'", "gnomonic projection");
  Writer.Add("CTYPE2", "'DEC--TAN'", "gnomonic projection");
  Writer.Add("CRVAL1", Real_Text(Crval1), "RA of reference point");
  Writer.Add("CRVAL2", Real_Text(Crval2), "Dec of reference point");
  Writer.Add("CRPIX1", Real_Text(Crpix1), "reference column");
  Writer.Add("CRPIX2", Real_Text(Crpix2), "reference row");
  Writer.Add("CD1_1", Real_Text(Cd11), "degrees per pixel");
  Writer.Add("CD1_2", Real_Text(Cd12), "degrees per pixel");
  Writer.Add("CD2_1", Real_Text(Cd21), "degrees per pixel");
  Writer.Add("CD2_2", Real_Text(Cd22), "degrees per pixel");
}
