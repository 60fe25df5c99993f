// The app's configured links and addresses. All point at placeholder hosts.
#pragma once

// The product web site and its pages.
inline constexpr const char* kProductHomePageLink = "https://drosil.invalid/";
inline constexpr const char* kProductChangeLogLink = "https://drosil.invalid/changelog/";
inline constexpr const char* kProductPrivacyLink = "https://drosil.invalid/privacy/";
// The store page, and the store application's write-review link.
inline constexpr const char* kProductStorePageLink = "https://store.drosil.invalid/app/drosil/id0000000000";
inline constexpr const char* kProductWriteReviewLink =
    "itms-apps://store.drosil.invalid/app/drosil/id0000000000?action=write-review";
// The developer's social-network profile: app link and web page.
inline constexpr const char* kDeveloperSocialHandle = "drosilapp";
inline constexpr const char* kDeveloperSocialAppLink = "twitter://user?screen_name=drosilapp";
inline constexpr const char* kDeveloperSocialWebLink = "https://social.drosil.invalid/drosilapp";
// The tutorial videos.
inline constexpr const char* kFirstTutorialLink = "https://video.drosil.invalid/tutorials/ambient-and-source";
inline constexpr const char* kSecondTutorialLink = "https://video.drosil.invalid/tutorials/custom-white-balance";
// Where the mails of the settings screen go.
inline constexpr const char* kSupportMailAddress = "support@drosil.invalid";
