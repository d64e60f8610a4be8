#pragma once

#include <map>
#include <string>

class Query;

// The fixed names, versions, key and statement texts of the databases the
// system writes. Stored vaults and packages depend on every byte here
// (including the tabs and double blanks inside the statements): change
// nothing without a migration.
namespace vaultschema {

// Every database (vault, package, settings) is keyed with this passphrase,
// passed with its length and without a terminating zero.
inline constexpr char connectionKey[] = "581736024917365028471639502847361dce";
inline constexpr int connectionKeyLength = 36;

// The vault database file, directly inside the vault folder (and inside
// every package).
inline constexpr char databaseFileName[] = "f13f2488-44d3-4267-bf0d-80a84ac7f3ee";

// A current_path or target_path as stored: relative paths use "/", and rows
// written by builds that used backslashes still open.
inline std::string storedPath(std::string text)
{
    for (char& c : text)
        if (c == '\\')
            c = '/';
    return text;
}

// Written to KistConfig's "Version"; only its second component decides
// whether a stored vault can be read.
inline constexpr char vaultFormatVersion[] = "0.31.012";
// The program's own version, recorded in the settings store on every start.
inline constexpr char programVersion[] = "0.31.018";
inline constexpr char defaultEncryption[] = "CALG_AES_128";

// KistConfig setting names.
inline constexpr char currentPasswordSetting[] = "CurrentPassword";
inline constexpr char previousPasswordSetting[] = "PreviousPassword";
inline constexpr char versionSetting[] = "Version";
inline constexpr char skinSetting[] = "Skin";
inline constexpr char encryptionSetting[] = "Encryption";
// Counts every change to a ProtectedFiles row (see the triggers below).
inline constexpr char changeCountSetting[] = "ChangeCount";

// ---- Vault schema, in the order a new vault is created ----

inline constexpr char dropProtectedFiles[] = "drop table if exists ProtectedFiles";
inline constexpr char dropKistConfig[] = "drop table if exists KistConfig";

inline constexpr char createProtectedFiles[] =
    "create table if not exists ProtectedFiles( \t\t\t\t  entry_id integer primary key asc autoincrement, "
    "current_path TEXT, display_name TEXT, raw_file_name TEXT, unique_name TEXT, \t\t\tis_directory INT, "
    "volume INT, size INT, lock_date DATE, cipher TEXT, encrypt_algo TEXT, parent TEXT, target_path TEXT, "
    "current_root TEXT, target_root TEXT, \t\t\tis_hidden INT, is_encrypted INT, pending_transform INT)";
inline constexpr char createIdsrcIndex[] = "create index if not exists idsrc on ProtectedFiles(unique_name)";
// Loading reads the children of every folder by parent; without this index
// each of those reads scans the whole table. Other readers ignore it.
inline constexpr char createParentIndex[] = "create index if not exists idparent on ProtectedFiles(parent)";
// Choosing a free name for a new top-level entry asks the rows whether a
// name is taken (a-z/A-Z alike, as the engine compares names) without
// reading them all. Other readers ignore it.
inline constexpr char createNameIndex[] =
    "create index if not exists idtopname on ProtectedFiles(parent, display_name collate nocase)";
inline constexpr char createKistConfig[] =
    "create table if not exists KistConfig(nv_name TEXT primary key, nv_value TEXT, update_date DATE)";
inline constexpr char createConfignameIndex[] = "create index if not exists configname on KistConfig(nv_name)";
inline constexpr char createKistConfigTrigger[] =
    "create trigger if not exists KistConfigAI AFTER INSERT ON KistConfig BEGIN UPDATE KistConfig "
    "SET update_date = DATETIME('NOW','LOCALTIME')  WHERE rowid = new.rowid; END";

// printf formats: %s takes the empty password's hash (through sqlText), and
// vaultFormatVersion for the version.
inline constexpr char insertCurrentPassword[] =
    "insert into KistConfig (nv_name, nv_value) values ('CurrentPassword', '%s')";
inline constexpr char insertPreviousPassword[] =
    "insert into KistConfig (nv_name, nv_value) values ('PreviousPassword', '%s')";
inline constexpr char insertVersion[] = "insert into KistConfig (nv_name, nv_value) values ('Version', '%s')";
inline constexpr char insertSkin[] = "insert into KistConfig (nv_name, nv_value) values ('Skin', '')";
inline constexpr char insertEncryption[] =
    "insert into KistConfig (nv_name, nv_value) values ('Encryption', 'CALG_AES_128')";

inline constexpr char selectKistConfig[] = "select * from KistConfig";

// ---- The change count (user vaults; added when a vault is opened) ----
// Each insert, update or delete of a ProtectedFiles row adds one to the
// "ChangeCount" setting in the same transaction, whichever program wrote it,
// so a program that holds the vault lock knows from one small read whether
// its in-memory entries still match the rows.
inline constexpr char insertChangeCount[] =
    "insert into KistConfig (nv_name, nv_value) select 'ChangeCount', '0' "
    "where not exists (select 1 from KistConfig where nv_name = 'ChangeCount')";
inline constexpr const char* createChangeCountTriggers[] = {
    "create trigger if not exists ProtectedFilesAI after insert on ProtectedFiles begin "
    "update KistConfig set nv_value = cast(nv_value as integer) + 1 where nv_name = 'ChangeCount'; end",
    "create trigger if not exists ProtectedFilesAU after update on ProtectedFiles begin "
    "update KistConfig set nv_value = cast(nv_value as integer) + 1 where nv_name = 'ChangeCount'; end",
    "create trigger if not exists ProtectedFilesAD after delete on ProtectedFiles begin "
    "update KistConfig set nv_value = cast(nv_value as integer) + 1 where nv_name = 'ChangeCount'; end",
};
inline constexpr char selectChangeCount[] = "select nv_value from KistConfig where nv_name = 'ChangeCount'";

// ---- The change log (user vaults; added when a vault is opened) ----
// Each insert, update or delete of a ProtectedFiles row leaves its row id,
// the identity, parent and display name it had (and, when an update changes them, those it
// got) in ProtectedFilesLog, in the same transaction. A program that knows
// the rows up to a log position reads again only the entries the newer log
// rows name. Openings trim the log to its newest rows; a program whose
// position was trimmed away reads every row again.
inline constexpr char createChangeLog[] =
    "create table if not exists ProtectedFilesLog(seq integer primary key autoincrement, entry_id INT, "
    "unique_name TEXT, parent TEXT, display_name TEXT)";
inline constexpr const char* createChangeLogTriggers[] = {
    "create trigger if not exists ProtectedFilesLogAI after insert on ProtectedFiles begin "
    "insert into ProtectedFilesLog(entry_id, unique_name, parent, display_name) "
    "values (new.entry_id, new.unique_name, new.parent, new.display_name); end",
    "create trigger if not exists ProtectedFilesLogAU after update on ProtectedFiles begin "
    "insert into ProtectedFilesLog(entry_id, unique_name, parent, display_name) "
    "values (old.entry_id, old.unique_name, old.parent, old.display_name); "
    "insert into ProtectedFilesLog(entry_id, unique_name, parent, display_name) "
    "select new.entry_id, new.unique_name, new.parent, new.display_name where new.unique_name is not old.unique_name "
    "or new.parent is not old.parent or new.display_name is not old.display_name; end",
    "create trigger if not exists ProtectedFilesLogAD after delete on ProtectedFiles begin "
    "insert into ProtectedFilesLog(entry_id, unique_name, parent, display_name) "
    "values (old.entry_id, old.unique_name, old.parent, old.display_name); end",
};
// How many of the newest log rows a trim keeps.
inline constexpr long changeLogKept = 20000;
// An opening trims the log only once it spans this many rows. Trimming it
// back to changeLogKept at every opening rewrote some 700 pages of the
// database (30 ms here) for each command once a vault had seen 20,000
// changes; with the margin a trim comes once every 20,000 changes.
inline constexpr long changeLogTrimmedFrom = 2 * changeLogKept;
// What an opening has to write: tidy is 1 when the change count, the log and
// their six triggers are all there, short 1 when the log spans fewer rows
// than an opening trims from (%ld: changeLogTrimmedFrom). The ends of the
// log are read apart: max and min in one select would read every row.
inline constexpr char selectIsTidy[] =
    "select (select count(*) from KistConfig where nv_name = 'ChangeCount') = 1 "
    "and (select count(*) from sqlite_master where type = 'trigger' and name in ('ProtectedFilesAI', "
    "'ProtectedFilesAU', 'ProtectedFilesAD', 'ProtectedFilesLogAI', 'ProtectedFilesLogAU', "
    "'ProtectedFilesLogAD')) = 6 as tidy, "
    "coalesce((select max(seq) from ProtectedFilesLog) - (select min(seq) from ProtectedFilesLog), 0) < %ld "
    "as short";
// %ld: changeLogKept
inline constexpr char trimChangeLog[] =
    "delete from ProtectedFilesLog where seq <= (select max(seq) from ProtectedFilesLog) - %ld";
// The newest position; none when the log is empty.
inline constexpr char selectLogPosition[] = "select max(seq) as position from ProtectedFilesLog";
// %lld: a known position. The oldest log row after it, and how many there are.
inline constexpr char selectLogExtent[] =
    "select min(seq) as first, count(*) as rows from ProtectedFilesLog where seq > %lld";
// %lld: a known position.
inline constexpr char selectLogSince[] =
    "select entry_id, unique_name, parent, display_name from ProtectedFilesLog where seq > %lld order by seq";
// unique_name: the parent of one row.
inline constexpr char selectParentOf[] = "select parent from ProtectedFiles where unique_name = '%s'";
// A list of row ids: the top-level rows among them (a row id is never used
// again, and new rows lie together at the end of the table).
inline constexpr char selectTopLevelByEntry[] =
    "select * from ProtectedFiles where entry_id in (%s) and +parent = ''";
// A list of quoted identities: the top-level rows among them. Found by
// identity alone ("+parent" keeps the planner from reading every top-level
// row through the parent index instead).
inline constexpr char selectTopLevelByIdentity[] =
    "select * from ProtectedFiles where unique_name in (%s) and +parent = ''";
// A list of quoted identities: the rows whose parent is one of them.
inline constexpr char selectChildrenOfAll[] = "select * from ProtectedFiles where parent in (%s)";
// unique_name of a top-level row: its rows and every row below it. The top
// is found by its identity alone ("+parent" keeps the planner from reading
// every top-level row through the parent index instead).
inline constexpr char selectEntryRows[] =
    "with recursive tree(u) as (select unique_name from ProtectedFiles where unique_name = '%s' and +parent = '' "
    "union select p.unique_name from ProtectedFiles p join tree t on p.parent = t.u) "
    "select * from ProtectedFiles where unique_name in (select u from tree) order by entry_id";

// ---- The integrity table (created with the first tag it holds) ----
// One integrity tag per encrypted file body, keyed by the row's identity:
// HMAC-SHA-256 under a key derived from the file's own key (see BodyTag).
// Readers that do not know the table ignore it; a body without a tag row
// (an older vault, another program) is read as before. When a row goes, the
// trigger takes its tag with it, in the same transaction.
inline constexpr char createBodyTags[] =
    "create table if not exists BodyTags(unique_name TEXT primary key, tag TEXT)";
inline constexpr char createBodyTagsTrigger[] =
    "create trigger if not exists BodyTagsAD after delete on ProtectedFiles begin "
    "delete from BodyTags where unique_name = old.unique_name; end";
// unique_name, tag
inline constexpr char storeBodyTag[] = "insert or replace into BodyTags(unique_name, tag) values ('%s', '%s')";
// unique_name
inline constexpr char selectBodyTag[] = "select tag from BodyTags where unique_name = '%s'";
// parent: the tags of the rows directly inside that folder row.
inline constexpr char selectBodyTagsInside[] =
    "select t.unique_name, t.tag from BodyTags t join ProtectedFiles p on p.unique_name = t.unique_name "
    "where p.parent = '%s'";
// unique_name
inline constexpr char deleteBodyTag[] = "delete from BodyTags where unique_name = '%s'";
inline constexpr char selectBodyTags[] = "select unique_name, tag from BodyTags";
inline constexpr char selectBodyTagsTable[] =
    "select 1 from sqlite_master where type = 'table' and name = 'BodyTags'";

// ---- Upkeep at opening ----
// Free pages and all pages: a vault is compacted (VACUUM, under the lock)
// only when at least a quarter of it is free.
inline constexpr char selectFreePages[] = "select freelist_count as free, page_count as pages "
                                          "from pragma_freelist_count, pragma_page_count";
inline constexpr char vacuum[] = "VACUUM;";

// ---- ProtectedFiles rows ----
// printf formats. Every %s value goes through sqlText first. volume and size
// are unsigned 32-bit values and are passed as unsigned long (%lu); the
// other numbers are int.

// current_path, unique_name, display_name, raw_file_name, is_directory,
// volume, size, cipher, encrypt_algo, parent, target_path, current_root,
// target_root, is_hidden, is_encrypted, pending_transform
inline constexpr char insertProtectedFile[] =
    "insert into ProtectedFiles \t\t(current_path, unique_name, display_name, raw_file_name, is_directory, "
    "volume, size, cipher, encrypt_algo, parent, \t\t\ttarget_path, current_root, target_root, is_hidden, "
    "is_encrypted, pending_transform) \t\tvalues \t\t\t('%s', '%s', '%s', '%s', %d, %lu, %lu, '%s', '%s', "
    "'%s', '%s', '%s', '%s', %d, %d, %d)";
// unique_name
inline constexpr char deleteProtectedFile[] = "delete from ProtectedFiles where unique_name = '%s'";
// target_path, target_root, current_path, current_root, cipher,
// encrypt_algo, pending_transform, unique_name
inline constexpr char storePlannedTransform[] =
    "update ProtectedFiles set target_path = '%s', target_root = '%s', current_path = '%s', "
    "current_root = '%s', cipher = '%s', encrypt_algo = '%s', pending_transform = %d where unique_name = '%s'";
// current_path, current_root, pending_transform, is_hidden, is_encrypted,
// unique_name
inline constexpr char storeFinishedTransform[] =
    "update ProtectedFiles set target_path = '', target_root = '', current_path = '%s', current_root = '%s', "
    "pending_transform = %d, is_hidden = %d, is_encrypted = %d where unique_name = '%s'";
// The finish of one step and the plan of the next in one write (see
// Transforms::JointWrites): storeFinishedTransform's columns with
// storePlannedTransform's values.
// target_path, target_root, current_path, current_root, cipher,
// encrypt_algo, pending_transform, is_hidden, is_encrypted, unique_name
inline constexpr char storeSettledAndPlanned[] =
    "update ProtectedFiles set target_path = '%s', target_root = '%s', current_path = '%s', "
    "current_root = '%s', cipher = '%s', encrypt_algo = '%s', pending_transform = %d, is_hidden = %d, "
    "is_encrypted = %d where unique_name = '%s'";
// cipher, unique_name
inline constexpr char storeCipher[] = "update ProtectedFiles set cipher='%s' where unique_name='%s'";
inline constexpr char selectTopLevel[] = "select * from ProtectedFiles where parent =''";
// display_name: whether a top-level row has it (through idtopname).
inline constexpr char selectTopLevelNamed[] =
    "select 1 from ProtectedFiles where parent = '' and display_name = '%s' collate nocase limit 1";
// Every row in one statement: one consistent view of the whole table.
inline constexpr char selectAllRows[] = "select * from ProtectedFiles order by entry_id";
// size, unique_name
inline constexpr char storeSize[] = "update ProtectedFiles set size = %lu where unique_name = '%s'";
// Every sealed key (a password change re-seals them all).
inline constexpr char selectSealedKeys[] = "select unique_name, cipher from ProtectedFiles where cipher <> ''";
// new hash; previous hash
inline constexpr char updateCurrentPassword[] = "update KistConfig set nv_value='%s' where nv_name='CurrentPassword'";
inline constexpr char updatePreviousPassword[] =
    "update KistConfig set nv_value='%s' where nv_name='PreviousPassword'";
// parent's unique_name
inline constexpr char selectChildren[] = "select * from ProtectedFiles where parent='%s'";

// ---- Settings store (".config", table ConfigItems) ----

inline constexpr char configFileName[] = ".config";
inline constexpr char createConfigItems[] =
    "create table if not exists ConfigItems(nv_name TEXT primary key, nv_value TEXT, update_date DATE)";
inline constexpr char createConfigItemsIndex[] = "create index if not exists configname on ConfigItems(nv_name)";
inline constexpr char createConfigItemsTrigger[] =
    "create trigger if not exists ConfigItemsAI AFTER INSERT ON ConfigItems BEGIN UPDATE ConfigItems "
    "SET update_date = DATETIME('NOW','LOCALTIME')  WHERE rowid = new.rowid; END";
inline constexpr char selectConfigItems[] = "select * from ConfigItems";
// name
inline constexpr char selectConfigItem[] = "select * from ConfigItems where nv_name = '%s'";
// value, name
inline constexpr char updateConfigItem[] = "update ConfigItems set nv_value = '%s' where nv_name='%s'";
// name, value
inline constexpr char insertConfigItem[] = "insert into ConfigItems (nv_name, nv_value) values ('%s', '%s')";

} // namespace vaultschema

// The statement a printf format makes with its arguments, however long it
// grows (paths have no fixed limit). Quote text values with sqlText first.
std::string formatStatement(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Drops and creates both vault tables, inserts the five initial settings
// (emptyPasswordHash for CurrentPassword and PreviousPassword) and fills
// settings with the same five pairs, all in one transaction. Throws
// ExceptionModule "Cannot initialize configuration database." on any
// failure; the database is then left as it was and no transaction stays open.
void createVaultSchema(Query& query, const std::string& emptyPasswordHash,
                       std::map<std::string, std::string>& settings);

// True when the database holds no table at all (a new vault), false when it
// has tables. Throws "Cannot initialize configuration database." when it
// cannot tell (not a database, a different key, an unreadable file).
[[nodiscard]] bool hasNoTables(Query& query);
