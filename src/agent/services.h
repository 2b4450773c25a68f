#pragma once
// The agent's shared services, built once by main and never released: the platform's
// pieces, the file manager, the standard user defaults, the app-group suite and the
// keychain in its home, the content blocker and the content filter writing through it,
// the child state, the command channel and the location reporter. Each is built from
// the ones before it, and every part of the agent is handed only what it uses: the
// delegate its Platform bundle, the reporter its environment, the channel its options.
// The classes' shared() return what was built here.
//
// The channel and the reporter are built at their first use (at start-up, from the
// delegate), not here, so that what their making prints stays where it always was.
#include <memory>
#include <mutex>

#include "agent/app_delegate.h"
#include "agent/location_sender_manager.h"
#include "channel/socket_handler.h"
#include "networks/child_user_default_manager.h"
#include "platform/content_blocker.h"
#include "platform/content_filter.h"
#include "platform/file_manager.h"
#include "platform/settings.h"
#include "platform/url_session.h"
#include "platform/user_defaults.h"
#include "platform/window_list.h"
#include "platform/workspace.h"

namespace agent {

class Services {
 public:
  // Over the settings main installed.
  explicit Services(platform::Settings settings);
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // The delegate's bundle: the Linux implementations, the child state, and hooks that
  // drive this reporter and connect this channel.
  Platform delegatePlatform();

  networks::ChildUser& childUser() { return childUser_; }
  // The command channel, over the shared session, content-blocker manager and
  // workspace, and the settings' TLS choices.
  channel::SocketHandler& channel();
  // The location reporter, over the child state, the main run loop, a request runner on
  // the shared session and this channel's "live_location" command.
  LocationSenderManager& locationReporter();

 private:
  const platform::Settings settings_;
  // Over these settings; made first, and handed to everything below that keeps files,
  // so that they all find their files where it does.
  platform::FileManager fileManager_;
  platform::UserDefaults& standardDefaults_;
  platform::URLSession& session_;
  platform::Workspace& workspace_;
  platform::LinuxContentBlockerManager contentBlocker_;
  platform::PlistFilterManager contentFilter_;
  platform::WindowList& windowList_;
  networks::ChildUser& childUser_;

  std::once_flag channelMade_;
  std::unique_ptr<channel::SocketHandler> channel_;
  std::once_flag reporterMade_;
  std::unique_ptr<LocationSenderManager> reporter_;
};

}  // namespace agent
