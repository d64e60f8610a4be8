#include "engine/Recovery.h"

#include <algorithm>
#include <fstream>

#include "engine/ExceptionModule.h"
#include "engine/IntegrityTags.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "engine/crypto/BodyTag.h"
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

// A copy under construction (see movePath): ".kist-" + GUID + ".part".
bool isPartialCopyName(const nocase_wstring& name)
{
    const nocase_wstring prefix = L".kist-";
    const nocase_wstring suffix = L".part";
    return name.size() == prefix.size() + 36 + suffix.size() && name.compare(0, prefix.size(), prefix) == 0
           && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
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
            recoverCrypt(top);
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
    const bool sourceExists = pathExists(top.sourcePath());
    const bool destinationExists = pathExists(top.destinationPath());
    Transforms transforms(query, engine.kind);

    if (destinationExists) {
        std::vector<nocase_wstring> emptied;
        completeMoves(top, emptied);
        flushFileSystem(parentFolder(top.destinationPath()));
        for (const nocase_wstring& folder : emptied)
            Transforms::removeIfEmpty(folder);
        Transaction transaction(query);
        transforms.finishMove(top, state == MoveIntoVault);
        transaction.commit();
        return state == MoveIntoVault;
    }

    Transaction transaction(query);
    if (!sourceExists) {
        // Neither place holds it: nothing is left to describe.
        top.forEach([&](ProtectedFile& record) { record.deleteRow(query); });
        transaction.commit();
        return false;
    }
    top.forEach([&](ProtectedFile& record) {
        if (isMove(record.pending_transform))
            rollBack(record);
    });
    transaction.commit();
    return top.is_hidden;
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
    const auto sweep = [](const nocase_wstring& folder) {
        std::vector<nocase_wstring> names;
        try {
            listFolder(folder, names);
        } catch (const ExceptionModule&) {
            return; // a folder that is not there holds no partial copy
        }
        for (const nocase_wstring& name : names)
            if (isPartialCopyName(name))
                deletePath(joinPath(folder, name));
    };
    // Under the vault lock no other move is under way there.
    sweep(parentFolder(top.destinationPath()));
    top.forEach([&](const ProtectedFile& record) {
        if (record.is_directory && isMove(record.pending_transform))
            sweep(record.destinationPath());
    });
}

void Recovery::recoverCrypt(ProtectedFile& record)
{
    for (auto& child : record.children)
        recoverCrypt(*child);
    if (!isCrypt(record.pending_transform))
        return;
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    const bool sourceExists = pathExists(source);
    const bool destinationExists = pathExists(destination);

    if (record.is_directory) {
        // A folder holds no body of its own: its children, resolved above,
        // each carry their own location.
        if (sourceExists && destinationExists) {
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
        rollBack(record);
    } else if (destinationExists) {
        rollForward(record);
    } else {
        record.deleteRow(query);
        record.pending_transform = NothingPending;
        record.is_hidden = false;
    }
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
    if (record.is_encrypted && !record.cipher.empty()) {
        try {
            const SecretText fileKey = openFileKey(engine.password, record.cipher);
            tags.store(record.unique_name, BodyTag::ofFile(fileKey, record.sourcePath()));
            return;
        } catch (const ExceptionModule&) {
        }
    }
    tags.remove(record.unique_name);
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
