// Swapping a staged release in: the tree, the main program and its signature,
// the package, the record, and the replies last, each by one rename. What
// they replace is kept below the staging folder, and a journal there says how
// to put it back, until the publish has ended.
#pragma once

#include <filesystem>
#include <string>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_stage.h"

// Moves what StageRelease wrote into place and removes the staging folder.
// A failure before the first reply is renamed puts everything back as
// before; after it, or when even that fails, the journal stays for recovery. unsignedOver receives
// the previous signatures an unsigned publish removes.
int SwapReleaseIn(const PublishRequest& request, const ReleaseVersion& version,
                  const PublishLayout& layout, bool signing, std::string& unsignedOver,
                  std::string& report);
