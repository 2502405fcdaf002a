// qxtool presets: the family's preset folders from a shell — categories and presets in their
// custom order, one preset's data and tone curve, and imports.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Jobs.h"

namespace {

// Presets are read as tone curves, the library's own kind: a plain preset's file reads as a
// curve without points.
struct CurveFactory : QXPresetFactory {
  QXPreset* createPreset() override { return new QXBezierCurve(0, 256, 16); }
};

int usage() {
  std::fputs(
      "usage: qxtool presets list FOLDER [--ext EXT] [--all]\n"
      "       qxtool presets show FOLDER CATEGORY NAME [--ext EXT]\n"
      "       qxtool presets import FILE FOLDER CATEGORY [--ext EXT]\n"
      "FOLDER is a preset folder (categories are its sub-folders); EXT the preset file extension\n"
      "(default qxp). --all lists excluded categories too.\n",
      stderr);
  return 2;
}

std::string text(const QXString& s) { return utf8(s.toCFString()); }

// A manager for FOLDER: its parent is the module folder, its name the preset folder name.
QXPresetManager managerFor(std::string folder, const char* extension) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!folder.empty() && folder[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) folder = std::string(cwd) + "/" + folder;
  }
  size_t slash = folder.rfind('/');
  std::string module = slash == 0 ? "/" : folder.substr(0, slash);
  return QXPresetManager(module.c_str(), folder.substr(slash + 1).c_str(), extension);
}

void showPreset(QXPreset* preset) {
  std::printf("name:        %s\n", text(preset->name()).c_str());
  std::printf("author:      %s\n", text(preset->author()).c_str());
  std::printf("description: %s\n", text(preset->description()).c_str());
  std::printf("factory: %s  free: %s  sort order: %d  properties: %d\n", preset->isFactoryPreset() ? "yes" : "no",
              preset->freePreset() ? "yes" : "no", preset->customSortOrder(), preset->properties());
  auto* curve = static_cast<QXBezierCurve*>(preset);
  std::vector<QXPoint> points;
  curve->getActiveControlPoints(points);
  std::printf("curve: %zu control points of %d slots:", points.size(), curve->controlPointCount());
  for (const QXPoint& p : points) std::printf(" (%d,%d)", p.x, p.y);
  std::vector<unsigned char> levels;
  curve->getSamplePoints(levels);
  std::printf("\nlevels at 0, 64, 128, 192, 255: %d %d %d %d %d\n", levels[0], levels[64], levels[128], levels[192],
              levels[255]);
}

}  // namespace

int runPresetsJob(int argc, char** argv) {
  std::vector<const char*> args;
  const char* extension = "qxp";
  bool all = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ext") == 0 && i + 1 < argc) {
      extension = argv[++i];
    } else if (std::strcmp(argv[i], "--all") == 0) {
      all = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.empty()) return usage();
  const std::string command = args[0];
  CurveFactory factory;

  if (command == "list" && args.size() == 2) {
    QXPresetManager manager = managerFor(args[1], extension);
    manager.setUseCategoryExclusionList(!all);
    for (const QXString& category : manager.getCategories()) {
      std::printf("%s\n", text(category).c_str());
      for (const QXString& name : manager.getPresetsByCustomSortOrder(category))
        std::printf("  %s\n", text(name).c_str());
    }
    return 0;
  }
  if (command == "show" && args.size() == 4) {
    QXPresetManager manager = managerFor(args[1], extension);
    QXPreset* preset = manager.loadPreset(args[2], &factory, args[3]);
    if (preset == nullptr) {
      std::fprintf(stderr, "qxtool presets: no readable preset '%s' in category '%s'\n", args[3], args[2]);
      return 1;
    }
    showPreset(preset);
    manager.releasePreset(preset);
    return 0;
  }
  if (command == "import" && args.size() == 4) {
    QXPresetManager manager = managerFor(args[2], extension);
    if (!manager.addCategory(args[3]) || !manager.importPreset(args[1], args[3], &factory)) {
      std::fprintf(stderr, "qxtool presets: could not import '%s' into category '%s'\n", args[1], args[3]);
      return 1;
    }
    std::printf("imported %s into %s\n", args[1], args[3]);
    return 0;
  }
  return usage();
}
