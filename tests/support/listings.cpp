#include "support/listings.h"

namespace testsupport {

std::vector<Attached> realisticImages(int count) {
  std::vector<Attached> images;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i + 1);
    switch (i % 3) {
    case 0: {
      const std::string path = "/Users/jdoe/Downloads/Acme Suite 12.4." + n + " Installer.dmg";
      images.push_back({path, path, {"/Volumes/Acme Suite " + n}});
      break;
    }
    case 1: {
      const std::string path = "/var/folders/x4/9k2_bq1n6xd4l0v3h8y7mz2c0000gn/T/AppTranslocation/"
                               "5C1E63A4-2B7D-4F0A-9E51-" +
                               n + "/d/Setup.dmg";
      images.push_back({path, "/private" + path, {"/Volumes/Setup " + n}});
      break;
    }
    default: {
      const std::string path = "/Users/jdoe/Library/Caches/com.acme.updater/Update-" + n + ".sparseimage";
      images.push_back({path, path, {"/Volumes/Update " + n, "/Volumes/Update " + n + " Data"}});
      break;
    }
    }
  }
  return images;
}

std::string textListing(const std::vector<Attached>& images) {
  std::string text = "framework       : 671.100.2\ndriver          : 671.100.2\n";
  int disk = 4;
  for (const Attached& image : images) {
    text += "================================================\n";
    text += "image-path      : " + image.path + "\n";
    if (!image.alias.empty()) {
      text += "image-alias     : " + image.alias + "\n";
    }
    text +=
        "shadow-path     : <none>\n"
        "icon-path       : /System/Library/PrivateFrameworks/DiskImages.framework/Resources/CDiskImage.icns\n"
        "image-type      : read-only disk image\n"
        "blockcount      : 2048\n"
        "process ID      : 412\n";
    const std::string dev = "/dev/disk" + std::to_string(disk++);
    text += dev + "\tGUID_partition_scheme\t\n";
    for (const std::string& mount : image.mounts) {
      text += dev + "s1\tApple_HFS\t" + mount + "\n";
    }
  }
  return text;
}

std::string plistListing(const std::vector<Attached>& images) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                     "<plist version=\"1.0\">\n<dict>\n"
                     "\t<key>framework</key>\n\t<string>671.100.2</string>\n"
                     "\t<key>images</key>\n\t<array>\n";
  int disk = 4;
  for (const Attached& image : images) {
    const std::string dev = "/dev/disk" + std::to_string(disk++);
    text += "\t\t<dict>\n"
            "\t\t\t<key>image-path</key>\n\t\t\t<string>" +
            image.path +
            "</string>\n"
            "\t\t\t<key>image-type</key>\n\t\t\t<string>read-only disk image</string>\n"
            "\t\t\t<key>owner-uid</key>\n\t\t\t<integer>501</integer>\n"
            "\t\t\t<key>system-entities</key>\n\t\t\t<array>\n"
            "\t\t\t\t<dict>\n"
            "\t\t\t\t\t<key>content-hint</key>\n\t\t\t\t\t<string>GUID_partition_scheme</string>\n"
            "\t\t\t\t\t<key>dev-entry</key>\n\t\t\t\t\t<string>" +
            dev +
            "</string>\n"
            "\t\t\t\t\t<key>potentially-mountable</key>\n\t\t\t\t\t<false/>\n"
            "\t\t\t\t\t<key>unmapped-content-hint</key>\n\t\t\t\t\t<string>GUID_partition_scheme</string>\n"
            "\t\t\t\t</dict>\n";
    for (const std::string& mount : image.mounts) {
      text += "\t\t\t\t<dict>\n"
              "\t\t\t\t\t<key>content-hint</key>\n\t\t\t\t\t<string>Apple_HFS</string>\n"
              "\t\t\t\t\t<key>dev-entry</key>\n\t\t\t\t\t<string>" +
              dev +
              "s1</string>\n"
              "\t\t\t\t\t<key>mount-point</key>\n\t\t\t\t\t<string>" +
              mount +
              "</string>\n"
              "\t\t\t\t\t<key>potentially-mountable</key>\n\t\t\t\t\t<true/>\n"
              "\t\t\t\t\t<key>unmapped-content-hint</key>\n\t\t\t\t\t<string>Apple_HFS</string>\n"
              "\t\t\t\t\t<key>volume-kind</key>\n\t\t\t\t\t<string>hfs</string>\n"
              "\t\t\t\t</dict>\n";
    }
    text += "\t\t\t</array>\n\t\t</dict>\n";
  }
  text += "\t</array>\n"
          "\t<key>revision</key>\n\t<string>10.15v671.100.2</string>\n"
          "\t<key>vendor</key>\n\t<string>Apple</string>\n"
          "</dict>\n</plist>\n";
  return text;
}

} // namespace testsupport
