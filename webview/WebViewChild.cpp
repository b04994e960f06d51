#include "WebViewChild.h"
#include "ChildConnection.h"
#include "PipeProtocol.h"
#include "PostedValueConversion.h"

#include <gtk/gtk.h>
#include <gtk/gtkx.h>
#include <glib-unix.h>
#include <webkit2/webkit2.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <unistd.h>
#include <vector>

namespace calbrix_webview
{
    namespace
    {
        constexpr int webProcessEndedExitCode = 4;

        struct Child
        {
            int commandFd = -1;
            int eventFd = -1;
            GtkWidget* plug = nullptr;
            WebKitWebView* webView = nullptr;
            FrameDecoder decoder;
            std::map<juce::int64, WebKitPolicyDecision*> pendingDecisions;
            juce::int64 nextDecisionId = 1;
            bool quitting = false;
            int exitCode = 0;
            GdkRGBA background {};
        };

        void quit (Child& child, int exitCode = 0)
        {
            if (! child.quitting)
            {
                child.quitting = true;
                child.exitCode = exitCode;
                gtk_main_quit();
            }
        }

        // False when the message is too large for the parent to take (it would break the stream).
        bool sendToParent (Child& child, const juce::String& type, juce::DynamicObject::Ptr fields = nullptr)
        {
            if (fields == nullptr)
                fields = new juce::DynamicObject();
            fields->setProperty ("type", type);

            const auto frame = encodeFrame (juce::var (fields.get()));
            if (frame.getSize() - 4 > maxFrameBytes)
                return false;

            auto* bytes = static_cast<const char*> (frame.getData());
            size_t done = 0;

            while (done < frame.getSize())
            {
                const auto n = ::write (child.eventFd, bytes + done, frame.getSize() - done);
                if (n > 0)
                {
                    done += (size_t) n;
                }
                else if (n < 0 && errno == EINTR)
                {
                    continue;
                }
                else
                {
                    // The parent is gone: nobody is left to show this view to.
                    quit (child);
                    return true;
                }
            }

            return true;
        }

        juce::DynamicObject::Ptr fieldsWith (const char* name, const juce::var& value)
        {
            juce::DynamicObject::Ptr fields (new juce::DynamicObject());
            fields->setProperty (name, value);
            return fields;
        }

        //==============================================================================
        void onScriptMessage (WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data)
        {
            auto& child = *static_cast<Child*> (data);
            juce::var body;

            // A cyclic, heavily shared or huge value must not freeze this process or swamp the parent;
            // the page goes on, and its next message is delivered as usual.
            if (! convertPostedValue (webkit_javascript_result_get_js_value (result), body)
                || ! sendToParent (child, "message", fieldsWith ("body", body)))
                std::cerr << "web view: a message the page posted was dropped: it is larger than a message may be ("
                          << maxPostedValues << " values, " << (maxPostedTextBytes >> 20) << " MiB of text)\n";
        }

        gboolean onDecidePolicy (WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
        {
            auto& child = *static_cast<Child*> (data);

            if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
                return FALSE; // WebKit's own rules for what it can show

            auto* action = webkit_navigation_policy_decision_get_navigation_action (WEBKIT_NAVIGATION_POLICY_DECISION (decision));
            const auto url = juce::String::fromUTF8 (webkit_uri_request_get_uri (webkit_navigation_action_get_request (action)));

            if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
            {
                // No new windows: the owner is told and may open the URL elsewhere.
                sendToParent (child, "newWindow", fieldsWith ("url", url));
                webkit_policy_decision_ignore (decision);
                return TRUE;
            }

            // The navigation waits for the owner's answer; the page keeps running meanwhile.
            const auto id = child.nextDecisionId++;
            g_object_ref (decision);
            child.pendingDecisions[id] = decision;

            auto fields = fieldsWith ("url", url);
            fields->setProperty ("id", id);
            sendToParent (child, "decide", fields);
            return TRUE;
        }

        void onLoadChanged (WebKitWebView* view, WebKitLoadEvent event, gpointer data)
        {
            if (event == WEBKIT_LOAD_FINISHED)
            {
                const auto* uri = webkit_web_view_get_uri (view);
                sendToParent (*static_cast<Child*> (data), "finished", fieldsWith ("url", juce::String::fromUTF8 (uri != nullptr ? uri : "")));
            }
        }

        gboolean onLoadFailed (WebKitWebView*, WebKitLoadEvent, gchar* failingUri, GError* error, gpointer data)
        {
            // Cancelled loads (a stop, a navigation that replaced this one, one the owner refused)
            // are no errors worth showing.
            if (error == nullptr
                || g_error_matches (error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)
                || g_error_matches (error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
                return TRUE;

            auto fields = fieldsWith ("error", juce::String::fromUTF8 (error->message));
            fields->setProperty ("url", juce::String::fromUTF8 (failingUri != nullptr ? failingUri : ""));
            sendToParent (*static_cast<Child*> (data), "failed", fields);
            return TRUE; // the owner decides what to show instead
        }

        void onPlugRealized (GtkWidget* plug, gpointer data)
        {
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS // the one call that sets an X window's background pixel
            if (auto* window = gtk_widget_get_window (plug))
                gdk_window_set_background_rgba (window, &static_cast<Child*> (data)->background);
            G_GNUC_END_IGNORE_DEPRECATIONS
        }

        void onPlugDestroyed (GtkWidget*, gpointer data)
        {
            auto& child = *static_cast<Child*> (data);
            child.plug = nullptr;
            child.webView = nullptr;
            quit (child);
        }

        // WebKit's web process ran the page; without it the view stays grey for good. This child ends,
        // and the parent, seeing it end, starts a new one that loads the page again.
        void onWebProcessTerminated (WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data)
        {
            std::cerr << "web view: WebKit's web process "
                      << (reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "ran out of memory" : "ended")
                      << "; the web view's child process ends with it\n";
            quit (*static_cast<Child*> (data), webProcessEndedExitCode);
        }

        void onClose (WebKitWebView*, gpointer data)
        {
            sendToParent (*static_cast<Child*> (data), "close");
        }

        //==============================================================================
        void loadUrl (Child& child, const juce::var& command)
        {
            auto* request = webkit_uri_request_new (command["url"].toString().toRawUTF8());

            if (auto* headerLines = command["headers"].getArray())
            {
                if (auto* headers = webkit_uri_request_get_http_headers (request))
                {
                    for (auto& line : *headerLines)
                    {
                        const auto text = line.toString();
                        const auto name = text.upToFirstOccurrenceOf (":", false, false).trim();
                        if (name.isNotEmpty())
                            soup_message_headers_append (headers, name.toRawUTF8(),
                                                         text.fromFirstOccurrenceOf (":", false, false).trim().toRawUTF8());
                    }
                }
            }

            webkit_web_view_load_request (child.webView, request);
            g_object_unref (request);
        }

        void handleCommand (Child& child, const juce::var& command)
        {
            if (child.webView == nullptr)
                return;

            const auto type = command["type"].toString();

            if (type == "eval")
            {
                const auto script = command["script"].toString();
                webkit_web_view_evaluate_javascript (child.webView, script.toRawUTF8(), (gssize) script.getNumBytesAsUTF8(),
                                                     nullptr, nullptr, nullptr, nullptr, nullptr);
            }
            else if (type == "decision")
            {
                const auto id = static_cast<juce::int64> (command["id"]);
                auto found = child.pendingDecisions.find (id);
                if (found != child.pendingDecisions.end())
                {
                    if (static_cast<bool> (command["allow"]))
                        webkit_policy_decision_use (found->second);
                    else
                        webkit_policy_decision_ignore (found->second);
                    g_object_unref (found->second);
                    child.pendingDecisions.erase (found);
                }
            }
            else if (type == "load")
            {
                loadUrl (child, command);
            }
            else if (type == "loadFile")
            {
                GError* error = nullptr;
                if (auto* uri = g_filename_to_uri (command["path"].toString().toRawUTF8(), nullptr, &error))
                {
                    webkit_web_view_load_uri (child.webView, uri);
                    g_free (uri);
                }
                else if (error != nullptr)
                {
                    g_error_free (error);
                }
            }
            else if (type == "stop")    { webkit_web_view_stop_loading (child.webView); }
            else if (type == "reload")  { webkit_web_view_reload (child.webView); }
            else if (type == "back")    { webkit_web_view_go_back (child.webView); }
            else if (type == "forward") { webkit_web_view_go_forward (child.webView); }
        }

        gboolean onCommandsReadable (gint fd, GIOCondition, gpointer data)
        {
            auto& child = *static_cast<Child*> (data);
            char buffer[65536];
            const auto n = ::read (fd, buffer, sizeof (buffer));

            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return G_SOURCE_CONTINUE;

            if (n <= 0 || ! child.decoder.append (buffer, (size_t) n))
            {
                // End of file: the owning component is gone.
                quit (child);
                return G_SOURCE_REMOVE;
            }

            std::vector<juce::var> commands;
            child.decoder.takeMessages (commands);
            for (auto& command : commands)
                handleCommand (child, command);

            return G_SOURCE_CONTINUE;
        }

        // The owner's background colour as the eight hexadecimal digits of juce::Colour::toString
        // ("ff0b0d10": alpha, red, green, blue).
        bool parseColour (const char* text, GdkRGBA& colour)
        {
            char* end = nullptr;
            const auto argb = std::strtoul (text, &end, 16);
            if (end == text || *end != 0 || std::strlen (text) != 8)
                return false;
            colour = { ((argb >> 16) & 0xff) / 255.0, ((argb >> 8) & 0xff) / 255.0, (argb & 0xff) / 255.0, ((argb >> 24) & 0xff) / 255.0 };
            return true;
        }

        // Every layer that could show before the page paints gets the owner's colour: GTK's own
        // window background (white or light grey by theme), the X window's background, which the
        // X server fills exposed parts with until GTK draws again (after a dialog above it closed,
        // say), and WebKit's view, white until the page's first frame.
        void useBackground (Child& child, const GdkRGBA& colour)
        {
            webkit_web_view_set_background_color (child.webView, &colour);

            auto* css = gtk_css_provider_new();
            auto* colourText = gdk_rgba_to_string (&colour);
            const auto rule = "window { background-color: " + juce::String::fromUTF8 (colourText) + "; }";
            g_free (colourText);
            gtk_css_provider_load_from_data (css, rule.toRawUTF8(), -1, nullptr);
            gtk_style_context_add_provider (gtk_widget_get_style_context (child.plug), GTK_STYLE_PROVIDER (css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
            g_object_unref (css);

            child.background = colour;
            g_signal_connect (child.plug, "realize", G_CALLBACK (onPlugRealized), &child);
        }

        bool parseFd (const char* text, int& fd)
        {
            char* end = nullptr;
            const auto value = std::strtol (text, &end, 10);
            if (end == text || *end != 0 || value < 0 || value > 65535)
                return false;
            fd = (int) value;
            return true;
        }
    } // namespace

    //==============================================================================
    bool isChildInvocation (int argc, const char* const* argv)
    {
        return argc >= 2 && argv[1] != nullptr && std::strcmp (argv[1], ChildConnection::childRoleArgument) == 0;
    }

    int runChildProcess (int argc, const char* const* argv)
    {
        Child child;

        GdkRGBA background {};
        const bool hasBackground = argc >= 5 && parseColour (argv[4], background);

        if (argc < 4 || ! parseFd (argv[2], child.commandFd) || ! parseFd (argv[3], child.eventFd))
            return 2;

        // A parent that vanishes must end this process through a failed write, not a signal.
        std::signal (SIGPIPE, SIG_IGN);

        // WebKit starts its own processes with every descriptor that is not marked close-on-exec;
        // holding the pipes, they would keep the parent from seeing this process end.
        ::fcntl (child.commandFd, F_SETFD, FD_CLOEXEC);
        ::fcntl (child.eventFd, F_SETFD, FD_CLOEXEC);

        if (! gtk_init_check (nullptr, nullptr))
            return 3;

        child.plug = gtk_plug_new (0);
        // Once the embedding window lets go of the plug, GTK destroys it and the page with it:
        // nothing is left to show, so the child ends.
        g_signal_connect (child.plug, "destroy", G_CALLBACK (onPlugDestroyed), &child);

        // The handler is registered before the view exists, so the first page can already post.
        auto* contentManager = webkit_user_content_manager_new();
        g_signal_connect (contentManager, "script-message-received::juce", G_CALLBACK (onScriptMessage), &child);
        webkit_user_content_manager_register_script_message_handler (contentManager, "juce");

        child.webView = WEBKIT_WEB_VIEW (webkit_web_view_new_with_user_content_manager (contentManager));
        g_object_unref (contentManager);

        // The page ships as local files split into ES modules; WebKit refuses module scripts that a
        // file: page loads from its own folder unless file URLs may read file URLs.
        webkit_settings_set_allow_file_access_from_file_urls (webkit_web_view_get_settings (child.webView), TRUE);

        if (hasBackground)
            useBackground (child, background);

        g_signal_connect (child.webView, "decide-policy", G_CALLBACK (onDecidePolicy), &child);
        g_signal_connect (child.webView, "load-changed", G_CALLBACK (onLoadChanged), &child);
        g_signal_connect (child.webView, "load-failed", G_CALLBACK (onLoadFailed), &child);
        g_signal_connect (child.webView, "close", G_CALLBACK (onClose), &child);
        g_signal_connect (child.webView, "web-process-terminated", G_CALLBACK (onWebProcessTerminated), &child);

        gtk_container_add (GTK_CONTAINER (child.plug), GTK_WIDGET (child.webView));
        gtk_widget_show_all (child.plug);

        sendToParent (child, "plug", fieldsWith ("id", (juce::int64) gtk_plug_get_id (GTK_PLUG (child.plug))));

        g_unix_set_fd_nonblocking (child.commandFd, TRUE, nullptr);
        g_unix_fd_add (child.commandFd, (GIOCondition) (G_IO_IN | G_IO_HUP | G_IO_ERR), onCommandsReadable, &child);

        if (! child.quitting)
            gtk_main();

        for (auto& pending : child.pendingDecisions)
        {
            webkit_policy_decision_ignore (pending.second);
            g_object_unref (pending.second);
        }
        child.pendingDecisions.clear();

        if (child.plug != nullptr)
            gtk_widget_destroy (child.plug);
        return child.exitCode;
    }

    void runChildProcessIfRequested (int argc, const char* const* argv)
    {
        if (isChildInvocation (argc, argv))
        {
            const auto result = runChildProcess (argc, argv);
            // Skip the static destructors of the parent's libraries, which this role never set up.
            std::fflush (stdout);
            std::fflush (stderr);
            ::_exit (result);
        }
    }
} // namespace calbrix_webview
