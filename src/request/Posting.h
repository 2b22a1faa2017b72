#pragma once

#include "client/AddActivityClientReqHandler.h"

#include <string>

class CActivity;
class CRequestProcessing;
struct CRequestEnvironment;

// What every post to the server shares: the post of a new activity (PostActivity) and the re-send of
// archived ones (CPendingActivityResend).

// A context for one post: the server read afresh from the settings, so that a changed address takes
// effect without a restart, and the environment's time-outs; no verdict yet.
CAddActivityContext ContextFromSettings(const CRequestEnvironment& environment);

// The server took the activity: the reply gave its id the status "1". Only meaningful after an
// Execute that reported overall success.
bool IsAcknowledged(const CAddActivityContext& context, const std::string& strId);

// Posts the activity under a new id. bAcknowledged: the server took it; bArchived: it did not, and the
// activity went to the environment's archive for a later re-send. The processing's sender and status
// report hear of either. 1 when acknowledged, else 0.
int PostActivity(CActivity& activity, const CRequestEnvironment& environment, CRequestProcessing& processing,
                 bool& bAcknowledged, bool& bArchived);
