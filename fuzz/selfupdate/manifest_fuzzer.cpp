// Fuzz target: the release catalog reader. Any input must either parse or be
// refused with one of the reader's exceptions; nothing else may escape, and
// the sanitizers watch memory and undefined behaviour.
#include "selfupdate/update_manifest.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks the selection target, so catalog selection and
    // the normalisation paths are explored as well.
    static const char* const kTargets[] = {"", "com.ombrel.kestro.teleop", "kestro-teleop", "com.a.debug", " x "};
    std::string target;
    if (size > 0) {
        target = kTargets[data[0] % (sizeof kTargets / sizeof kTargets[0])];
        ++data;
        --size;
    }
    const std::string json(reinterpret_cast<const char*>(data), size);
    try {
        const selfupdate::UpdateManifest manifest =
            selfupdate::UpdateManifest::fromJson(json, "https://updates.test/dl/version.json", target);
        // A manifest that parsed satisfies the validation rules.
        if (manifest.applicationId.empty() || manifest.versionName.empty() || manifest.versionCode <= 0 ||
            manifest.packageUrl.empty() || manifest.sha256.size() != 64)
            __builtin_trap();
        manifest.isNewerThan(manifest.versionName, manifest.versionCode);
        selfupdate::UpdateManifest::parseVersionCode(manifest.versionName);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
