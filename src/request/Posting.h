#pragma once

#include "client/AddActivityClientReqHandler.h"

#include <string>

// What every post to the server shares: the post of a new activity (CFileRequestHandler::PostActivity)
// and the re-send of archived ones (CPendingActivityResend).

// A context for one post: the server read afresh from the settings, so that a changed address takes
// effect without a restart; no verdict yet.
CAddActivityContext ContextFromSettings();

// The server took the activity: the reply gave its id the status "1". Only meaningful after an
// Execute that reported overall success.
bool IsAcknowledged(const CAddActivityContext& context, const std::string& strId);
