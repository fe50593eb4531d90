// This machine's host name, as gethostname(2) gives it: for Message-IDs, the sendmail sender's
// domain and Maildir file names.
#pragma once

#include <string>

namespace zef::zefmail {

// "localhost" when the name cannot be had or is empty.
std::string LocalHostName();

}  // namespace zef::zefmail
