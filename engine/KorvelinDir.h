#pragma once

// Folder kinds that Kist::getFolder resolves.
enum KorvelinDir : int {
    DesktopDir = 0,       // the user's desktop folder
    RestoredFilesDir = 1, // "KORVELIN Restored Files" on the desktop, created if missing
    DropboxDir = 2,       // the Dropbox folder, as the Dropbox client's settings name it
    TempDir = 3,          // a new private folder under the temporary directory
};
