#pragma once
// Sending a file from disk, whole or one byte range, without reading it into
// memory. The file is opened for reading only, so a recording that is still
// being written can be sent (up to its size at the moment of opening).
#include <string>

#include "web/WebContext.h"

enum TFileDisposition { fdInline, fdAttachment };

// Whole file with status 200, a content type by iPath's extension and
// Content-Disposition "inline" (iAttachmentName empty) or attachment.
// Returns false when the file cannot be opened as a regular file.
bool SendWholeFile(TWebContext& iContext, const std::string& iPath, const std::string& iAttachmentName);

// A recording as getfile sends it: Accept-Ranges, a single byte range with 206,
// 416 for an unsatisfiable range or several ranges. False when the file cannot
// be opened.
bool SendRangedFile(TWebContext& iContext, const std::string& iPath, const std::string& iFileName);
