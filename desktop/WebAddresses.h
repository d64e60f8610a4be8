#pragma once

// Addresses the program shows or links to.
namespace WebAddresses {

// The maker's web site (mail body, About text).
inline constexpr const char* makerWebSite = "https://www.brannoway.com";
// Where the "Install Dropbox" links lead.
inline constexpr const char* dropboxInstallPage = "https://www.dropbox.com/install";

} // namespace WebAddresses
