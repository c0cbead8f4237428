#pragma once
// Process-wide names: notifications (each value equals its name), user-defaults keys and the
// keys of usage metrics. Values are fixed; peers and stored settings rely on them.

// Notifications.
inline constexpr const char* UserInfoChangedNotification = "UserInfoChangedNotification";
inline constexpr const char* UserConfigChangedNotification = "UserConfigChangedNotification";
inline constexpr const char* IntercomUnreadCountDidChangeNotification = "IntercomUnreadCountDidChangeNotification";
inline constexpr const char* PreviewReloadNotification = "PreviewReloadNotification";
inline constexpr const char* WindowEscPressedNotification = "WindowEscPressedNotification";
inline constexpr const char* ServerControllerStateDidUpdateNotification = "ServerControllerStateDidUpdateNotification";
inline constexpr const char* ServerControllerPreviewDataDidUpdateNotification =
    "ServerControllerPreviewDataDidUpdateNotification";
inline constexpr const char* ServerControllerPreviewShouldReloadNotification =
    "ServerControllerPreviewShouldReloadNotification";
inline constexpr const char* DevicesChangeNotification = "DeviceManager.DevicesChangeNotification";
inline constexpr const char* DocumentStateDidUpdateNotification = "DocumentStateDidUpdateNotification";
inline constexpr const char* TranspilationSuccessNotification = "TranspilationSuccessNotification";
inline constexpr const char* TranspilationFailureNotification = "TranspilationFailureNotification";

// User-defaults keys.
inline constexpr const char* UserDefaultsCloudLearnMoreURLKey = "PDCloudLearnMoreURL";
inline constexpr const char* UserDefaultsTrackingDisabledKey = "PDKorvelTrackingDisabled";
inline constexpr const char* UserDefaultsDataCollectionDisabledKey = "PDDataCollectionDisabled";
inline constexpr const char* UserDefaultsLoginTokenKey = "KorvelLoginToken";
inline constexpr const char* UserDefaultsLoginUserInfoKey = "KorvelLoginUserInfo";
inline constexpr const char* UserDefaultsUpdatesDisabledKey = "PDSparkleUpdatesDisabled";
inline constexpr const char* UserDefaultsABTestDecisions = "UserDefaultsABTestDecisions";
inline constexpr const char* UserDefaultsDismissedTutorialCTA = "UserDefaultsDismissedTutorialCTA";
inline constexpr const char* UserDefaultsHasDarkAppearanceKey = "HasDarkAppearance";
inline constexpr const char* UserDefaultsTabContentWidth = "TabContentWidth";
inline constexpr const char* UserDefaultsPreviewKeepVisibleKey = "KVPreviewKeepVisible";
inline constexpr const char* UserDefaultsPreviewKeepOnTopKey = "KVPreviewKeepOnTop";
inline constexpr const char* UserDefaultsShowChooseStoreEnvironmentDialogKey = "ChooseStoreEnvironment";
inline constexpr const char* UserDefaultsCurrentStoreEnvironmentKey = "CurrentStoreEnvironment";
// Where the local services environment finds the stand-in cloud service (a loopback base URL).
inline constexpr const char* UserDefaultsLocalServicesBaseURLKey = "LocalServicesBaseURL";

// Usage metrics. The two parameter names cross on purpose: the tracker's reports rely on it.
inline constexpr const char* MetricsKeysEventNameTestShown = "ab_test_shown";
inline constexpr const char* MetricsKeysEventNameUIInteraction = "ui_interaction";
inline constexpr const char* MetricsKeysEventParamTestName = "testGroup";
inline constexpr const char* MetricsKeysEventParamTestGroup = "testName";
inline constexpr const char* MetricsKeysElementIdentifier = "id";
inline constexpr const char* MetricsKeysPage = "page";
inline constexpr const char* MetricsKeysPageWelcomeWindow = "welcome-window";
inline constexpr const char* MetricsKeysPageMainMenuBar = "main-menu-bar";
inline constexpr const char* MetricsKeysPageTopRightMenuBar = "top-right-menu-bar";
inline constexpr const char* MetricsIPCMetricsUIInteraction = "metricsUIInteraction";
