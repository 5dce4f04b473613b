#include "photometry/Result_Code.h"

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
