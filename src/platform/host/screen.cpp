// The handheld's screen as a picture.
#include "internal.h"

namespace device {

bool SaveScreen(const std::string&, std::string* error) {
  if (error) *error = "this handheld cannot draw its screen yet";
  return false;
}

}  // namespace device
