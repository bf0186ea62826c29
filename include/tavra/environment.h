// Environment: everything a reconcile pass touches outside itself.
//
// Where the managed preferences are, which catalog store to trust, where the support files live,
// which decryption keys exist, which output locations are built in, whether written files are
// made root-owned, how to take an inventory and how to make the system's preferences cache drop
// what it holds, and the services through which the pass reaches the machine. A plain record,
// copied by every pass; the key provider and the services are shared (they are immutable). The
// daemon and the tool's local apply use system(); offline simulation fills one field by field,
// by name, over a folder of its own.
//
// system() never fails on account of the machine: untrusted key texts are dropped silently and
// missing folders are only noticed when used. The production flush blocks its caller while the
// program runs, reports nothing and may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavra/catalog_store.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/discovery.h"
#include "tavra/managed_preferences.h"
#include "tavra/services.h"
#include "tavra/settings.h"

namespace tavra {

struct Environment {
  ManagedPreferences preferences;
  CatalogStore catalogStore;
  std::string supportDirectory;
  // Opens secret envelopes; null means no keys at all (every envelope fails to open).
  std::shared_ptr<const DecryptionKeyProvider> keys;
  std::vector<std::string> builtInPathPrefixes;
  bool setRootOwnership = false;
  // A managed file no longer wanted is released only where the allow-list admits it: for a state
  // whose folder someone else may have prepared (a simulation). The production pass releases
  // every file its own state records.
  bool releaseOnlyAllowedPaths = false;
  // Absent: no inventory.
  std::optional<Discovery> discovery;
  // Makes the system's preferences cache drop its contents; empty: no flush.
  std::function<void()> flushPreferencesCache;
  // What the pass itself reaches the machine through (the file applier's files, ...).
  Services services;

  // The production environment for `settings`, built on `services` from the machine's parts
  // below: systemPreferences, systemCatalogStore trusting catalogKeysForCache(settings) (the
  // built-in key followed by settings.catalogTrustedKeys), the support directory,
  // systemKeyProvider, the built-in path prefixes, root ownership on, systemDiscovery and the
  // cfprefsd flush through services.programs (which may not be null: std::invalid_argument).
  static Environment system(const TavraSettings& settings, const Services& services);
};

// The machine's own parts, built on `services`: the production environment is made of them, and
// the daemon and the tool use each on its own, so that both read and trust alike.
//
// The managed preferences: Constants::managedPreferencesDirectory, root-owned files only.
ManagedPreferences systemPreferences(const Services& services);
// The daemon's settings, as the daemon reads them: those of systemPreferences (the defaults
// when they cannot be read).
TavraSettings systemSettings(const Services& services);
// The catalog cache on Constants::catalogDirectory, trusting exactly `trustedKeysBase64` and
// downloading through services.http. Which keys to trust is catalog_trust.h's to say.
CatalogStore systemCatalogStore(const Services& services,
                                const std::vector<std::string>& trustedKeysBase64);
// The decryption keys: services.keychain's identities, then the key files in
// Constants::keyDirectory (root-owned files only).
std::shared_ptr<const SystemKeyProvider> systemKeyProvider(const Services& services);
// A discovery of this computer: its own users and application folders, found when it runs, and
// services.processes.
Discovery systemDiscovery(const Services& services);

// The production flush: runs "/usr/bin/killall" with the one argument "cfprefsd" through
// `programs` (environment, working folder and standard streams inherited) and waits for it to
// exit. Its exit status is ignored, and so is a failure to start it.
void flushPreferencesCacheWithKillall(const platform::ProgramLauncher& programs) noexcept;

}  // namespace tavra
