#include "agent/services.h"

#include <memory>
#include <utility>

#include "networks/shared_settings.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/keychain.h"
#include "platform/run_loop.h"
#include "platform/ui.h"

namespace agent {
namespace {

// Gives the standard user defaults their file in the home of the process's file
// manager, and returns them.
platform::UserDefaults& installedStandard(const platform::FileManager& files) {
  platform::UserDefaults::installStandardFile([path = platform::UserDefaults::standardPath(files)] { return path; });
  return platform::UserDefaults::standard();
}

}  // namespace

Services::Services(platform::Settings settings)
    : settings_(std::move(settings)),
      fileManager_(settings_),
      standardDefaults_(installedStandard(fileManager_)),
      session_(platform::URLSession::shared()),
      workspace_(platform::Workspace::shared()),
      contentBlocker_(fileManager_),
      contentFilter_(fileManager_, platform::Bundle::main().bundleIdentifier()),
      windowList_(platform::WindowList::system()),
      childUser_(networks::ChildUser::make(standardDefaults_)) {
  // The app-group suite the companion application writes, opened anew at every read.
  networks::installSharedSuite(
      [this] { return platform::UserDefaults::suite(fileManager_, std::string(networks::kAppGroup)); });
  platform::ContentFilterManager::install(contentFilter_);
  // Generic-password items in the home's keychain file.
  platform::KeychainStore::setShared(std::make_shared<platform::FileKeychainStore>(fileManager_));
}

channel::SocketHandler& Services::channel() {
  std::call_once(channelMade_, [this] {
    channel::SocketHandlerOptions options;
    options.session = &session_;
    options.contentBlocker = &contentBlocker_;
    options.fileManager = &fileManager_;
    options.workspace = &workspace_;
    options.ownDefaults = &standardDefaults_;
    options.caFile = settings_.caFile;
    options.connectTo = settings_.connectTo;
    channel_ = std::make_unique<channel::SocketHandler>(std::move(options));
    channel::SocketHandler::install(*channel_);
  });
  return *channel_;
}

LocationSenderManager& Services::locationReporter() {
  std::call_once(reporterMade_, [this] {
    LocationSenderManager::Environment environment;
    environment.locationManager = platform::LocationManager::make();
    environment.networkManger = std::make_shared<networks::NetworkManager>(session_);
    environment.childUser = &childUser_;
    environment.runLoop = &platform::RunLoop::main();
    environment.now = [] { return LocationSenderManager::Clock::now(); };
    environment.listenToLiveLocation = [this](LocationSenderManager::LiveLocationHandler handler) {
      channel().listenToLiveLocation(std::move(handler));
    };
    reporter_ = std::make_unique<LocationSenderManager>(std::move(environment));
    LocationSenderManager::install(*reporter_);
  });
  return *reporter_;
}

Platform Services::delegatePlatform() {
  return Platform{.workspace = workspace_,
                  .urlSession = session_,
                  .fileManager = fileManager_,
                  .runLoop = platform::RunLoop::main(),
                  .mainQueue = platform::DispatchQueue::main(),
                  .globalQueue = platform::DispatchQueue::global(),
                  .statusBar = platform::ui::StatusBar::system(),
                  .contentBlocker = contentBlocker_,
                  .contentFilter = contentFilter_,
                  .windowList = windowList_,
                  .childUser = childUser_,
                  .settings = settings_,
                  .locationReporter = {[this] { locationReporter().listenToLiveLocationSocket(); },
                                       [this] { locationReporter().startSendLocations(); }},
                  .connectChannel = [this] { channel().connectToWebsocket(); }};
}

}  // namespace agent
