#pragma once
// The encodings a plain-text mail needs: RFC 2047 encoded words for header text
// outside ASCII, header folding, and quoted-printable bodies.
#include <string>

bool IsASCII(const std::string& iText);

std::string Base64Encode(const std::string& iBytes);

// iText (UTF-8) as "=?UTF-8?B?...?=" words of at most 64 characters each, never
// splitting a character between two words; the words are joined by iSeparator
// (" " inside a phrase, "\r\n " to fold a header line).
std::string EncodeWords(const std::string& iText, const std::string& iSeparator);

// A complete unstructured header line without its final CRLF, e.g.
// "Subject: ..." - ASCII text folded at blanks when it grows past 78 characters,
// other text as encoded words, one per line. Line breaks inside iValue become
// blanks so the value cannot start a header of its own.
std::string UnstructuredHeader(const std::string& iName, const std::string& iValue);

// Quoted-printable (RFC 2045) of text whose lines end in CRLF; the CRLFs stay
// hard line breaks, long lines get soft breaks.
std::string QuotedPrintableEncode(const std::string& iText);
