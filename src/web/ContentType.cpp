#include "web/ContentType.h"

#include <algorithm>
#include <cctype>
#include <utility>

std::string ContentTypeForPath(const std::string& iPath) {
  // ES modules (app.js, the wave display) load only with a JavaScript type.
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html"},        {".htm", "text/html"},
      {".css", "text/css"},          {".js", "text/javascript"},
      {".mjs", "text/javascript"},   {".json", "application/json"},
      {".png", "image/png"},         {".gif", "image/gif"},
      {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"},
      {".ico", "image/x-icon"},      {".svg", "image/svg+xml"},
      {".swf", "application/x-shockwave-flash"},
      {".woff", "font/woff"},        {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},          {".otf", "font/otf"},
      {".eot", "application/vnd.ms-fontobject"},
      {".txt", "text/plain"},        {".map", "application/json"},
      {".mp3", "audio/mpeg"},        {".mp2", "audio/mpeg"},
      {".ogg", "audio/ogg"},         {".oga", "audio/ogg"},
      {".opus", "audio/ogg"},        {".wav", "audio/wav"},
      {".aac", "audio/aac"},         {".m4a", "audio/mp4"},
      {".flac", "audio/flac"},       {".cue", "text/plain"},
  };
  const auto slash = iPath.rfind('/');
  const auto dot = iPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
  std::string ext = iPath.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const auto& [e, type] : kTypes)
    if (ext == e) return type;
  return "application/octet-stream";
}
