// kivra-update --dry-run: what a patch run would do, printed, and nothing of
// it done.
#pragma once

// The exit status: 0 when the patch would be applied (or there is nothing to
// do), 1 when it would be refused.
int RunDryRun();
