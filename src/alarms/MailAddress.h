#pragma once
// E-mail addresses as the settings hold them: a bare address, or a display name
// followed by the address in angle brackets, several of them separated by commas.
#include <string>
#include <vector>

struct TMailAddress {
  std::string Name;     // display name, may be empty
  std::string Address;  // the bare address, as used in the SMTP envelope
};

// One entry. Throws std::invalid_argument("Invalid e-mail address: <entry>") for an
// entry with no address, unbalanced angle brackets, or blanks, control characters
// or brackets inside the address (such text cannot be put into an envelope safely).
TMailAddress ParseMailAddress(const std::string& iEntry);

// A comma-separated list; commas inside a quoted display name or inside angle
// brackets do not separate. Empty entries (a trailing comma) are skipped.
std::vector<TMailAddress> ParseAddressList(const std::string& iList);

// Header form: the bare address, or the display name (quoted, or as MIME encoded
// words when it is not ASCII) followed by "<address>".
std::string FormatMailAddress(const TMailAddress& iAddress);

// The domain for a Message-ID: the part of the address after its first "@" up to
// the next "@" or the end; "UNKNOWN" when there is no "@" or nothing follows it.
std::string MessageIDDomain(const std::string& iSenderAddress);
