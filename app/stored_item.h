#pragma once
#include <string>

// A message or a fax the program has just stored, as the desktop notification and the user's
// notify command describe it.
struct StoredItem {
    enum class Kind { Message, Fax };
    Kind kind = Kind::Message;
    std::string file;
    std::string caller;  // the caller's number; empty when the line did not tell it
    unsigned count = 0;  // the message's seconds or the fax's pages
};
