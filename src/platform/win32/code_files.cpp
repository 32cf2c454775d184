// The strict code policy's list of other code files, on Windows: not
// available yet. It fails closed: an operator who asks for the policy gets
// every new session refused, with the reason, rather than a policy that
// quietly admits everything. (Which files are system files there is a
// question of owner and DACL, and Wine reports every file as its own user's,
// so no test here could show it.)
#include "platform/system.h"

namespace vorn::os {

CodeLook list_code_files(ClientCode& /*code*/,
                         const std::vector<CodeFile>& /*known*/,
                         std::vector<CodeFile>& files, std::string& why) {
  files.clear();
  why = "the strict code policy is not available on Windows yet";
  return CodeLook::changed;
}

}  // namespace vorn::os
