#include "engine/Recovery.h"

#include "engine/ExceptionModule.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
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

uint64_t fileSize(const nocase_wstring& path)
{
    return pathInfo(path).size;
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
    if (top.is_hidden)
        encryptPlainFiles(top);
    return top.is_hidden;
}

// A move is finished when its destination was reached at all (the rest of
// the tree is moved after it), and undone otherwise: then nothing below the
// destination exists and only the rows need putting back.
bool Recovery::recoverMove(ProtectedFile& top)
{
    const int32_t state = top.pending_transform;
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
        // of the same size is the finished copy and the source can go.
        if (fileSize(source) != fileSize(destination))
            throw ExceptionModule(L"Cannot finish moving " + source + L": something else is at " + destination,
                                  L"");
        (void)clearAttributes(source);
        (void)deleteFile(source);
    }
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
    if (record.is_hidden) {
        if (engine.kind == EngineKind::UserVault)
            record.storeFinishedTransform(query);
    } else {
        record.deleteRow(query);
    }
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
