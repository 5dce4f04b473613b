#include "image/Result_Code.h"

#include "image/Image_Model.h"

std::string Result_Code_Text(TResult_Code Code) {
  switch (Code) {
  case TResult_Code::Measured:
  case TResult_Code::Not_Measured:
    return {};
  case TResult_Code::Not_Plate_Solved:
    return "Not Plate Solved";
  case TResult_Code::No_Star:
    return "No star!";
  case TResult_Code::No_Reference:
    return "No reference!";
  case TResult_Code::No_Data:
    return "No data!";
  case TResult_Code::No_Report_Dir:
    return "No report dir!";
  }
  return {};
}

TResult_Text Result_Text(const TImage_Model& Image, double Max_Error, char Decimal_Separator) {
  const bool Limit = Image.Less_Than != 0;
  return TResult_Text{(Limit ? "<" : "") + Format_Fixed(Image.Magnitude, 0, 3, Decimal_Separator),
                      Format_Fixed(Limit ? Max_Error : Image.Std_Error, 0, 3, Decimal_Separator)};
}

TMeasured_Panels Measured_Panel_Texts(const TImage_Model& Image, double Max_Error,
                                      const TNumber_Format& Format) {
  const auto Three_Decimals = [&](double Value) {
    return Format_Fixed(Value, 2, 3, Format.Decimal_Separator);
  };
  TMeasured_Panels P;
  P.Reference = "ref " + Three_Decimals(Image.Reference_Mag);
  if (Image.Ref_Filter_Letter != '\0')
    P.Reference += Image.Ref_Filter_Letter;
  const TResult_Text Result = Result_Text(Image, Max_Error, Format.Decimal_Separator);
  P.Magnitude = "mag " + Result.Magnitude;
  P.STDEV = "stdev " + Result.Error;
  P.Plate_Solved = "Plate Solved";
  P.Outburst = Image.Outburst ? "Outburst" : "Quiescent";
  P.Chart = "Chart: " + Image.ChartName;
  P.Image_Filter =
      std::string(Image.Image_Filter_Letter != '\0' ? 1 : 0, Image.Image_Filter_Letter) + " filter";
  return P;
}
