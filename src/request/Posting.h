#pragma once

#include "client/AddActivityClientReqHandler.h"

#include <string>

class CActivity;

// What every post to the server shares: the post of a new activity (PostActivity) and the re-send of
// archived ones (CPendingActivityResend).

// A context for one post: the server read afresh from the settings, so that a changed address takes
// effect without a restart; no verdict yet.
CAddActivityContext ContextFromSettings();

// The server took the activity: the reply gave its id the status "1". Only meaningful after an
// Execute that reported overall success.
bool IsAcknowledged(const CAddActivityContext& context, const std::string& strId);

// Posts the activity under a new id. bAcknowledged: the server took it; bArchived: it did not, and the
// activity went to the archive in strArchiveFolder for a later re-send. 1 when acknowledged, else 0.
int PostActivity(CActivity& activity, const std::string& strArchiveFolder, bool& bAcknowledged,
                 bool& bArchived);
