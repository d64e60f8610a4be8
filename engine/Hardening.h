#pragma once

#include <string>

class KistProgress;
class VaultEngine;

// Turns a user vault of the standard format into a hardened one (or a new,
// empty vault into a hardened vault), as one journaled change:
//
//  1. Under the vault lock, everything new is built in the private folder
//     ".hardening" inside the vault folder: a copy of the database keyed
//     with the new database key, every body re-encrypted under a new key of
//     its own (in a new GUID folder per entry), and the new header. The old
//     vault is not touched; cancelling or a crash here leaves it as it was.
//  2. The file ".hardening/ready" (written whole, flushed, then renamed into
//     place) lists the old and the new top-level bodies: from this moment
//     the change goes forward.
//  3. The new bodies, the new database and the header are renamed into the
//     vault folder, the old bodies deleted, ".hardening" removed.
//
// Every opening of the vault (and every lock taken on it) finishes a change
// that got to step 2 and throws away one that did not.
namespace Hardening {

inline constexpr wchar_t kStagingFolder[] = L".hardening";

// Hardens the engine's vault under the password (which must open it) and
// leaves the engine logged in to the hardened vault. Returns the recovery
// key's text, shown once. A vault that is already hardened, an empty
// password, or entries with an unfinished change are refused.
[[nodiscard]] std::string harden(VaultEngine& engine, const std::string& password, KistProgress* observer);

// Finishes or undoes a hardening that was cut short (see above). Cheap when
// there is none.
void settleInterrupted(VaultEngine& engine);

} // namespace Hardening
