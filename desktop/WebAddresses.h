#pragma once

// Addresses the program shows or links to.
namespace WebAddresses {

// The maker's web site (mail body, About text).
inline constexpr const char* makerWebSite = "https://www.brannoway.com";
// Where the "Install Dropbox" links lead.
inline constexpr const char* dropboxInstallPage = "https://www.dropbox.com/install";
// The feedback form the options menu opens in the browser.
inline constexpr const char* feedbackForm = "https://www.brannoway.com/korvelin/feedback";

} // namespace WebAddresses
