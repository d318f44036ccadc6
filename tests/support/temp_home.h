// A fresh, empty HOME for one test.
//
//   TempHome home;            // HOME=/tmp/talvane-home-XXXXXX, XDG_CONFIG_HOME=$HOME/.config
//   ... code under test writes under home.path() ...
//                             // destructor: the test keychain items deleted, both
//                             // variables restored, folder removed
//
// Nothing is created inside the folder, so code that needs the working
// directory meets the same empty home a fresh machine has. Not for use from
// several threads at once: it changes the process environment.
#pragma once

#include <string>

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }
  // The working directory the backend uses under this home (may not exist yet).
  std::string workDir() const;

 private:
  std::string path_;
  bool hadHome_ = false, hadXdg_ = false;
  std::string oldHome_, oldXdg_;
};

// The keychain service the test and demo bundles keep their token under (a
// name of this build's own, never the shipped one); tests read and store
// tokens there, and every TempHome deletes the items of the test and demo
// services when it ends, so none outlives a test on a Mac.
extern const std::string kTestKeychain;

// Removes a file or folder with everything in it; true when nothing remains.
bool removeTree(const std::string& path);
