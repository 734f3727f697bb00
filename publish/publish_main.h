// The publisher's tool: makes a release the updater can rely on from a
// folder, and checks a release made by any means.
//
//   brindax-publish make SOURCE_DIR OUT_DIR [--previous OLD_RELEASE_DIR]
//                        [--package NAME]
//                        [--sign SECRET_KEY_FILE [--sequence N] [--expires DAYS] [--keys KEYS_DIR]]
//   brindax-publish verify OUT_DIR [--previous OLD_RELEASE_DIR]
//                          [--key PUBLIC_KEY | --root PUBLIC_KEY... --threshold K]
//   brindax-publish keys KEYS_DIR ... (publish/keys_command.h)
#pragma once

namespace brindax::publish {

// Exit code: 0 done / release sound, 1 refused / problems found, 2 usage.
int publish_main(int argc, char** argv);

}  // namespace brindax::publish
