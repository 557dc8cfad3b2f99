#pragma once
// Form-encoded text (a query string or an application/x-www-form-urlencoded
// body): name=value pairs joined by "&"; "+" stands for a blank and percent
// escapes are decoded, in this order.
#include <map>
#include <string>

std::string DecodeFormText(const std::string& iText);
// Adds the pairs of iText to oParams (a name without "=" gets an empty value).
void ParseFormText(const std::string& iText, std::multimap<std::string, std::string>& oParams);
