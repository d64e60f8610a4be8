#include "tools/kist/HelpText.h"

std::string HelpText::text()
{
    return R"(Usage: kist COMMAND [ARGUMENTS]
The KORVELIN Safehold vault on the command line.

Commands:
  list                                 one line per entry: NAME<TAB>d|f<TAB>SIZE
  add PATH...                          protect files and folders; prints the name each received
  take-out [--to DIR] NAME...          take entries out (default: "KORVELIN Restored Files"
                                       on the desktop); prints where each came out
  export --out FILE [--force] [--hardened] NAME...
                                       write a package of the named entries (--hardened:
                                       a hardened package, which only this program reads)
  package list FILE                    list the entries of a package or zip file
  package extract FILE --to DIR        take every entry of a package out into DIR
  package import FILE [NAME...]        copy a package's entries (all when none is named)
                                       into the vault; prints the names they received
  passwd [--recovery-key]              change the Vault password (a reset code may stand
                                       in for the current one; in a hardened vault, with
                                       --recovery-key, its recovery key)
  email ADDRESS                        store your e-mail address
  backup (--to DIR | --dropbox) [--force]
                                       write the whole vault to korvelin.<device>.kzipbkp
                                       in DIR or in KORVELIN_Backup in your Dropbox folder
  restore FILE                         copy the entries of a backup into the vault
  check [--add-missing-tags]           read every entry and body; print what is not whole
                                       (exit status 0 only when everything is) and, apart,
                                       the bodies without an integrity tag; with
                                       --add-missing-tags those that decrypt cleanly get one
  harden                               make the vault hardened (docs/security.md): a key
                                       from the password by Argon2id, the database and every
                                       body re-encrypted; prints the recovery key once
  info                                 print the vault's format and key derivation
  update-check                         print the update code (0 none, 1 patch, 2 minor,
                                       3 major) and the download address

Options:
  -h, --help      show this help
  --version       show the version
  --              end of options: what follows are names or paths

Passwords never go on the command line. Each is read from its variable when
that is set, even to the empty text, else asked on the terminal (new ones
twice) when standard input is one. A new password may not be empty.

  KIST_PASSWORD          the Vault password (not needed while it is empty)
  KIST_NEW_PASSWORD      the new Vault password for 'passwd'
  KIST_PACKAGE_PASSWORD  the password of a package read or written
  KIST_RECOVERY_KEY      a hardened vault's recovery key for 'passwd --recovery-key'
  KIST_BACKUP_PASSWORD   the Vault password that was current when a backup was
                         made (default: the current one)

In every listing a TAB, newline or backslash inside a name or path is written
as \t, \n or \\.

Exit status: 0 done; 1 a command failed; 2 a usage error or a wrong or
missing password. With several names or paths each is tried in turn and the
worst outcome counts.
)";
}
