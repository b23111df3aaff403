// Swapping a staged release in: the tree, the main program, the package, the
// record, and the replies last, each by rename.
#pragma once

#include <string>

#include "tools/publish/publish.h"
#include "tools/publish/publish_stage.h"

// Moves what StageRelease wrote into place and removes the staging folder.
// unsignedOver receives the previous signatures an unsigned publish removes.
int SwapReleaseIn(const PublishRequest& request, const ReleaseVersion& version,
                  const PublishLayout& layout, const StagedRelease& staged, int status,
                  bool signing, std::string& unsignedOver, std::string& report);
