#include "engine/Recovery.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sys/stat.h>

#include "engine/ExceptionModule.h"
#include "engine/BodyFormat.h"
#include "engine/IntegrityTags.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"

namespace {

bool isMove(int32_t state)
{
    return state == MoveIntoVault || state == MoveOutOfVault;
}

bool isCrypt(int32_t state)
{
    return state == Encrypting || state == Decrypting;
}

bool hasPending(const ProtectedFile& top)
{
    bool pending = false;
    top.forEach([&](const ProtectedFile& record) { pending = pending || record.pending_transform != NothingPending; });
    return pending;
}

bool isPlainInVault(const ProtectedFile& record)
{
    return !record.is_directory && record.is_hidden && !record.is_encrypted
           && record.pending_transform == NothingPending;
}

bool isEmptyFolder(const nocase_wstring& path)
{
    std::vector<nocase_wstring> names;
    listFolder(path, names);
    return names.empty();
}

// A copy under construction (see movePath): ".kist-" + a GUID as uniqueId
// writes it (lower-case hex digits, dashes at fixed places) + ".part". Only
// that exact shape: a user's ".kist-anything-of-36-characters.part" is not.
bool isPartialCopyName(const nocase_wstring& name)
{
    const std::wstring prefix = L".kist-";
    const std::wstring suffix = L".part";
    const std::wstring text(name.data(), name.size());
    if (text.size() != prefix.size() + 36 + suffix.size() || text.compare(0, prefix.size(), prefix) != 0
        || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const wchar_t c = text[prefix.size() + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')))
            return false;
    }
    return true;
}

// True when both are regular files with the same bytes.
bool sameContent(const nocase_wstring& first, const nocase_wstring& second)
{
    const PathInfo a = pathInfo(first);
    const PathInfo b = pathInfo(second);
    if (a.type != PathType::File || b.type != PathType::File || a.size != b.size)
        return false;
    std::ifstream one(toNarrow(first), std::ios::binary);
    std::ifstream two(toNarrow(second), std::ios::binary);
    std::vector<char> left(1 << 16);
    std::vector<char> right(1 << 16);
    while (one && two) {
        one.read(left.data(), static_cast<std::streamsize>(left.size()));
        two.read(right.data(), static_cast<std::streamsize>(right.size()));
        if (one.gcount() != two.gcount()
            || !std::equal(left.begin(), left.begin() + one.gcount(), right.begin()))
            return false;
    }
    return one.eof() && two.eof();
}

} // namespace

Recovery::Recovery(VaultEngine& vaultEngine, Query& stepQuery)
    : engine(vaultEngine)
    , query(stepQuery)
{
}

bool Recovery::isNeeded(const ProtectedFile& top) const
{
    bool needed = false;
    top.forEach([&](const ProtectedFile& record) {
        needed = needed || record.pending_transform != NothingPending
                 || (engine.kind == EngineKind::UserVault && isPlainInVault(record));
    });
    return needed;
}

bool Recovery::recover(ProtectedFile& top)
{
    const bool stays = settle(top);
    if (stays && engine.kind == EngineKind::UserVault && top.is_hidden)
        encryptPlainFiles(top);
    return stays;
}

bool Recovery::settle(ProtectedFile& top)
{
    if (hasPending(top)) {
        if (isMove(top.pending_transform)) {
            if (!recoverMove(top))
                return false;
        } else {
            Transaction transaction(query);
            recoverCryptTree(top);
            transaction.commit();
        }
    }
    if (engine.kind != EngineKind::UserVault)
        return top.is_hidden || top.is_encrypted || top.current_root == engine.workFolder;
    return top.is_hidden;
}

// A move is finished when its destination was reached at all (the rest of
// the tree is moved after it), and undone otherwise: then nothing below the
// destination exists and only the rows need putting back.
bool Recovery::recoverMove(ProtectedFile& top)
{
    const int32_t state = top.pending_transform;
    removePartialCopies(top);
    const bool destinationExists = pathExists(top.destinationPath());
    Transforms transforms(query, engine);

    // Encrypted bodies being copied in (a package's) whose copy can no
    // longer be finished, their unpacked source gone (a temporary folder
    // cleared): the copy is undone, the package still holds them.
    if (destinationExists && state == MoveIntoVault && top.is_encrypted && !canComplete(top)) {
        undoCopy(top);
        return false;
    }
    if (destinationExists) {
        // Encrypted bodies moving in are a package's being copied: they get
        // the integrity tags the copy would have stored with its finish.
        std::vector<ProtectedFile*> copiedBodies;
        top.forEach([&](ProtectedFile& record) {
            if (record.pending_transform == MoveIntoVault && !record.is_directory && record.is_encrypted)
                copiedBodies.push_back(&record);
        });
        std::vector<nocase_wstring> emptied;
        completeMoves(top, emptied);
        flushFileSystem(parentFolder(top.destinationPath()));
        for (const nocase_wstring& folder : emptied)
            Transforms::removeIfEmpty(folder);
        const std::vector<std::pair<const ProtectedFile*, std::string>> tags = tagsOfBodies(copiedBodies);
        Transaction transaction(query);
        transforms.finishMove(top, state == MoveIntoVault);
        IntegrityTags integrityTags(query);
        for (const auto& [record, tag] : tags)
            integrityTags.store(record->unique_name, tag);
        transaction.commit();
        return state == MoveIntoVault;
    }

    // Undone. A row goes only where the move had not made it the vault's
    // yet (a move in); a row of the vault stays with its key even when
    // neither place holds the file now (a disk not mounted, a file moved
    // aside): it may come back, and the check reports it meanwhile.
    Transaction transaction(query);
    top.forEach([&](ProtectedFile& record) {
        if (isMove(record.pending_transform))
            rollBack(record);
    });
    transaction.commit();
    return top.is_hidden;
}

bool Recovery::canComplete(const ProtectedFile& top) const
{
    bool complete = true;
    top.forEach([&](const ProtectedFile& record) {
        if (!record.is_directory && isMove(record.pending_transform) && !pathExists(record.sourcePath())
            && !pathExists(record.destinationPath()))
            complete = false;
    });
    return complete;
}

void Recovery::undoCopy(ProtectedFile& top)
{
    std::vector<nocase_wstring> folders;
    top.forEach([&](ProtectedFile& record) {
        if (!isMove(record.pending_transform))
            return;
        if (record.is_directory)
            folders.push_back(record.destinationPath());
        else if (pathExists(record.destinationPath()) && !deleteFile(record.destinationPath()))
            throw ExceptionModule(L"Failed to delete: " + record.destinationPath(), L"");
    });
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        Transforms::removeIfEmpty(*folder);
    Transaction transaction(query);
    top.forEach([&](ProtectedFile& record) { record.deleteRow(query); });
    transaction.commit();
}

void Recovery::completeMoves(ProtectedFile& record, std::vector<nocase_wstring>& emptied)
{
    if (!isMove(record.pending_transform))
        return;
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    if (record.is_directory) {
        if (!pathExists(destination))
            createFolder(destination, record.pending_transform == MoveIntoVault);
        for (auto& child : record.children)
            completeMoves(*child, emptied);
        emptied.push_back(source);
        return;
    }
    const bool sourceExists = pathExists(source);
    const bool destinationExists = pathExists(destination);
    if (sourceExists && !destinationExists) {
        movePath(source, destination, false);
    } else if (sourceExists && destinationExists) {
        // Moves put a target in place only once it is complete, so a target
        // with the same content is the finished copy and the source can go.
        // Anything else there is not this move's: it stays, and the file
        // comes out beside it under a free name.
        if (sameContent(source, destination)) {
            (void)clearAttributes(source);
            if (!deleteFile(source) && pathExists(source))
                throw ExceptionModule(L"Failed to delete: " + source, L"");
        } else if (record.pending_transform == MoveOutOfVault) {
            const nocase_wstring folder = parentFolder(destination);
            record.target_path = joinPath(parentFolder(record.target_path),
                                          freeTargetName(folder, lastComponent(destination), false));
            movePath(source, record.destinationPath(), false);
        } else {
            throw ExceptionModule(L"Cannot finish moving " + source + L": something else is at " + destination,
                                  L"");
        }
    }
}

void Recovery::removePartialCopies(const ProtectedFile& top)
{
    // A name that a record of the tree has as its own is a file of the
    // user's, whatever it looks like.
    std::set<std::wstring> recorded;
    top.forEach([&](const ProtectedFile& record) {
        for (const nocase_wstring& path : {record.sourcePath(), record.destinationPath()})
            recorded.insert(std::wstring(path.data(), path.size()));
    });
    const auto sweep = [&](const nocase_wstring& folder) {
        std::vector<nocase_wstring> names;
        try {
            listFolder(folder, names);
        } catch (const ExceptionModule&) {
            return; // a folder that is not there holds no partial copy
        }
        for (const nocase_wstring& name : names) {
            const nocase_wstring path = joinPath(folder, name);
            if (isPartialCopyName(name) && !recorded.count(std::wstring(path.data(), path.size())))
                deletePath(path);
        }
    };
    // Under the vault lock no other move is under way there.
    sweep(parentFolder(top.destinationPath()));
    top.forEach([&](const ProtectedFile& record) {
        if (record.is_directory && isMove(record.pending_transform))
            sweep(record.destinationPath());
    });
}

void Recovery::recoverCryptTree(ProtectedFile& top)
{
    // A file whose source is gone was finished (a source goes only once its
    // target is on the disk). Then the whole tree goes forward, so that a
    // folder never ends split between its old place and its new one.
    bool forward = false;
    top.forEach([&](const ProtectedFile& record) {
        forward = forward
                  || (!record.is_directory && isCrypt(record.pending_transform) && !pathExists(record.sourcePath())
                      && pathExists(record.destinationPath()));
    });
    recoverCrypt(top, forward);
}

void Recovery::recoverCrypt(ProtectedFile& record, bool forward)
{
    for (auto& child : record.children)
        recoverCrypt(*child, forward);
    if (!isCrypt(record.pending_transform))
        return;
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    const bool sourceExists = pathExists(source);
    const bool destinationExists = pathExists(destination);

    if (record.is_directory) {
        // A folder holds no body of its own: its children, resolved above,
        // each carry their own location.
        if (forward) {
            if (!destinationExists)
                createFolder(destination, record.pending_transform == Encrypting);
            if (sourceExists)
                Transforms::removeIfEmpty(source);
            rollForward(record);
        } else if (sourceExists && destinationExists) {
            if (isEmptyFolder(destination)) {
                Transforms::removeIfEmpty(destination);
                rollBack(record);
            } else if (isEmptyFolder(source)) {
                Transforms::removeIfEmpty(source);
                rollForward(record);
            } else {
                rollBack(record);
            }
        } else if (destinationExists) {
            rollForward(record);
        } else {
            rollBack(record);
        }
        return;
    }
    if (sourceExists) {
        // The source is whole (it is deleted only after the target is on
        // disk), so an existing target may be partial and goes.
        if (destinationExists) {
            (void)clearAttributes(destination);
            (void)deleteFile(destination);
        }
        if (forward && finishFile(record))
            return;
        rollBack(record);
    } else if (destinationExists) {
        rollForward(record);
    } else {
        // Neither place holds the body (moved aside, a disk not mounted):
        // the row and its key stay for when it comes back.
        rollBack(record);
    }
}

bool Recovery::finishFile(ProtectedFile& record)
{
    const uint64_t sizeBefore = record.size;
    try {
        Transforms(query, engine).performCrypt(record, engine.password, record.pending_transform == Encrypting,
                                                    false);
    } catch (const ExceptionModule&) {
        // This one stays where it was; the others go on.
        (void)clearAttributes(record.destinationPath());
        (void)deleteFile(record.destinationPath());
        return false;
    }
    if (record.size != sizeBefore)
        record.storeSize(query);
    rollForward(record);
    return true;
}

void Recovery::rollBack(ProtectedFile& record)
{
    record.pending_transform = NothingPending;
    record.target_path.clear();
    record.target_root.clear();
    if (record.is_hidden) {
        if (engine.kind == EngineKind::UserVault)
            record.storeFinishedTransform(query);
    } else {
        record.deleteRow(query);
    }
}

void Recovery::rollForward(ProtectedFile& record)
{
    const bool bodyChanged = isCrypt(record.pending_transform) && !record.is_directory;
    switch (record.pending_transform) {
    case MoveIntoVault:
        record.is_hidden = true;
        break;
    case Encrypting:
        record.is_encrypted = true;
        break;
    case Decrypting:
        record.is_encrypted = false;
        // In the user's vault the plain copy lies inside the vault folder:
        // the record stays hidden so that it is encrypted again.
        if (engine.kind != EngineKind::UserVault)
            record.is_hidden = false;
        break;
    case MoveOutOfVault:
        record.is_hidden = false;
        break;
    default:
        break;
    }
    record.settleAtTarget();
    if (bodyChanged)
        retag(record);
    if (record.is_hidden) {
        if (engine.kind == EngineKind::UserVault)
            record.storeFinishedTransform(query);
    } else {
        record.deleteRow(query);
    }
}

void Recovery::retag(const ProtectedFile& record)
{
    IntegrityTags tags(query);
    // The body an interrupted encryption left is whole (its source went only
    // after it was on disk): its tag is computed from it now, in the same
    // transaction as the finish. A key that cannot be opened leaves the body
    // without a tag, as an older vault's, rather than with a wrong one.
    // A hardened body authenticates itself and has no tag.
    if (record.is_encrypted && !record.cipher.empty() && engine.bodyFormat().usesIntegrityTags()) {
        try {
            const SecretText fileKey = openFileKey(engine.password, record.cipher);
            tags.store(record.unique_name, BodyTag::ofFile(fileKey, record.sourcePath()));
            return;
        } catch (const ExceptionModule&) {
        }
    }
    tags.remove(record.unique_name);
}

std::vector<std::pair<const ProtectedFile*, std::string>>
Recovery::tagsOfBodies(const std::vector<ProtectedFile*>& records) const
{
    // Each body is whole and on the disk (a copy is put in place only once
    // it is complete, and the moves were flushed): its tag is computed from
    // it. One of another length than its row says, or whose key does not
    // open, stays without a tag rather than get a wrong one; the check
    // reports it.
    std::vector<std::pair<const ProtectedFile*, std::string>> tags;
    for (const ProtectedFile* record : records) {
        const nocase_wstring body = record->destinationPath();
        try {
            struct stat info {};
            if (record->cipher.empty() || ::lstat(toNarrow(body).c_str(), &info) != 0 || !S_ISREG(info.st_mode)
                || static_cast<uint64_t>(info.st_size) != encryptedBodyLength(record->size))
                continue;
            const SecretText fileKey = openFileKey(engine.password, record->cipher);
            tags.emplace_back(record, BodyTag::ofFile(fileKey, body));
        } catch (const ExceptionModule&) {
        }
    }
    return tags;
}

void Recovery::encryptPlainFiles(ProtectedFile& top)
{
    bool anyPlain = false;
    bool allPlain = true;
    top.forEach([&](const ProtectedFile& record) {
        anyPlain = anyPlain || isPlainInVault(record);
        allPlain = allPlain && !record.is_encrypted && record.pending_transform == NothingPending;
    });
    if (!anyPlain)
        return;
    VaultOperations operations(engine);
    if (allPlain) {
        operations.encryptTree(top, query, nullptr);
        return;
    }
    // Files that lie plain among encrypted ones get bodies of their own.
    top.forEach([&](ProtectedFile& record) {
        if (!isPlainInVault(record))
            return;
        operations.encryptTree(record, query, nullptr);
    });
}
