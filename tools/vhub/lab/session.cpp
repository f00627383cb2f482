#include <ostream>

#include "lab/lab.h"

namespace vhublab {

int RunSession(const RunOptions&, std::ostream&, std::ostream& err) {
  err << "vhub: this build has no plug-and-play manager yet; a session cannot run\n";
  return 3;
}
int ShowDescriptors(const std::string&, bool, std::ostream&, std::ostream& err) {
  err << "vhub: this build has no USB class drivers yet; descriptors cannot be read\n";
  return 3;
}
int ShowDevices(std::ostream&, std::ostream& err) {
  err << "vhub: this build has no plug-and-play manager yet\n";
  return 3;
}

}  // namespace vhublab
