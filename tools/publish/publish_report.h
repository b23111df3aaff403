// What a successful publish tells the release engineer.
#pragma once

#include <string>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_stage.h"

struct PublishOutcome {
    const SigningKey* key = nullptr;  // null: nothing signed
    std::string unsignedOver;
    bool rollback = false;
    int announced = 0;
    int status = 0;
    std::string readAdvice;  // non-empty: other users cannot read the tree
};

std::string PublishReport(const PublishRequest& request, const ReleaseVersion& version,
                          const StagedRelease& staged, const PublishOutcome& outcome);
