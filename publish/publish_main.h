// The publisher's tool: makes a release the updater can rely on from a
// folder, and checks a release made by any means.
//
//   brindax-publish make SOURCE_DIR OUT_DIR [--previous OLD_RELEASE_DIR]
//                        [--package NAME]
//                        [--sign SECRET_KEY_FILE [--sequence N] [--expires DAYS]]
//   brindax-publish verify OUT_DIR [--previous OLD_RELEASE_DIR] [--key PUBLIC_KEY]
#pragma once

namespace brindax::publish {

// Exit code: 0 done / release sound, 1 refused / problems found, 2 usage.
int publish_main(int argc, char** argv);

}  // namespace brindax::publish
