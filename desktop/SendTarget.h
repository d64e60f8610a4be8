#pragma once

// Where a package of ticked entries goes.
enum class SendTarget {
    Folder = 0,  // saved to a folder on the computer
    Dropbox = 1, // placed in the Dropbox folder
    Email = 2,   // attached to an e-mail
};

// The form a package is written in. Standard packages open in every version
// of the program; a hardened one (Argon2id-protected package key,
// authenticated bodies) opens only in this program and its successors, so
// it is written only when the user asks for it.
enum class PackageForm {
    Standard = 0,
    Hardened = 1,
};
