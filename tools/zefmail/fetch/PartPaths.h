// Positions of the parts of a received message: "1" for a message without boundary; "1", "2",
// "2.1", "2.2", ... for the parts of nested multiparts.
#pragma once

#include <string>
#include <vector>

namespace zef::zefmail {

// Follows popZef's structure events. MultiPartOpen nests the parts that follow inside the part
// current at that moment (or at the top level for the message's own container); MimeHeadFirst
// numbers a part inside the innermost open multipart.
class PartPathTracker {
  public:
    void Reset();
    void OpenMultipart();
    void CloseMultipart();
    // The path of part `part` of the innermost open multipart, which becomes current.
    const std::string& BeginPart(long part);
    const std::string& Current() const { return current_; }
    // True while no multipart is open: the next MultiPartOpen is the message's own.
    bool AtMessageLevel() const { return prefixes_.empty(); }

  private:
    std::vector<std::string> prefixes_;
    std::string current_;
};

}  // namespace zef::zefmail
