#pragma once

class VaultEngine;

// Owns the rule that the in-memory entries are a cache of the database,
// trusted only under the lock: taking the outermost lock reads the rows
// again when another program changed any (VaultEngine::refreshUnderLock), and
// letting it go remembers the change count they match, unless the operation
// ended by an exception.
//
// Keeps other processes (the desktop program, a shell switch, kist) out of
// the user's vault while one of them plans, performs, finishes or recovers a
// transform, re-seals keys or changes the password. An exclusive advisory
// lock on a small file in the vault folder, released by the kernel if the
// process dies. Nested locks on one engine are free; temporary vaults and
// package readers are private to their process and take no lock.
class VaultLock {
public:
    explicit VaultLock(VaultEngine& engine);
    // Gives up after waitMs milliseconds (0: unless the lock is free at once).
    VaultLock(VaultEngine& engine, int waitMs);
    ~VaultLock();
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    // How long a second process waits before giving up, in milliseconds.
    static int waitMilliseconds;

private:
    // The lock is held (or needs no file): the in-memory entries are made
    // fresh from the rows.
    void holdWithoutFile();
    void release();

    VaultEngine& engine;
    bool counted = false;
    int exceptionsAtStart = 0;
};
