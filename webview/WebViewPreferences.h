#pragma once

namespace calbrix_webview
{
    // Engine settings that the editor hands to its web view. The engine on this platform (WebKitGTK in
    // the child process) takes none, so the record is empty; it keeps the editor's construction code
    // the same on every platform.
    struct WebViewPreferences
    {
    };
} // namespace calbrix_webview
