#pragma once

// Where a package of ticked entries goes.
enum class SendTarget {
    Folder = 0,  // saved to a folder on the computer
    Dropbox = 1, // placed in the Dropbox folder
    Email = 2,   // attached to an e-mail
};
