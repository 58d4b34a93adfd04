#pragma once

#include <QFrame>
#include <QTimer>
#include <cstdint>

#include "app/dialog_units.h"
#include "engine/engine.h"
#include "engine/processing_settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace stelp {

// Milliseconds without an edit after which a page hands its values over.
constexpr int kRefreshDelayMs = 500;

// A settings page: a sunken panel of 107 x 92 dialog units that keeps its
// own copy of the values it edits. Every edit stores the whole page at once
// and restarts a one-shot timer; when 500 ms pass without a further edit the
// page emits `command` once, and the main window takes the values over.
// Every number a page keeps lies within its range (engine/setting_ranges.h):
// a number typed outside it is kept as the nearer end, which the edit shows
// once the edit is finished. A stretch pair reaches the engine lower bound
// first, and is shown so when either bound is finished.
class SettingsPage : public QFrame {
  Q_OBJECT
 public:
  explicit SettingsPage(QWidget* parent);
  ~SettingsPage() override;

  // Fields into controls. The change notifications this raises are not
  // edits: they neither store nor start the timer.
  void Load();
  // Controls into fields.
  void Store();
  // Store, then (re)start the 500 ms timer.
  void RestartRefreshTimer();
  bool refreshPending() const { return timer_.isActive(); }
  // Stops a pending refresh: true when one was pending, so the caller takes
  // the values over now (or drops them, when new settings replace them).
  bool TakeRefresh();
  int refreshRemainingMs() const { return timer_.remainingTime(); }

 signals:
  // The page's values changed and the user stopped editing: 500 ms passed
  // since the last edit. The main window then applies the page.
  void command();

 protected:
  virtual void loadControls() = 0;
  virtual void storeControls() = 0;
  // An edit: ignored while loading, else RestartRefreshTimer.
  void edited();
  bool loading() const { return loading_; }

 private:
  QTimer timer_;
  bool loading_ = false;
};

// Reads optional white space and a decimal integer; 0 when there is none.
// Out-of-range numbers saturate. Anything after the number is ignored.
int32_t parseIntField(const QString& text);
// The same for a decimal float (C locale; "1.5e2", "-3", ".5").
float parseFloatField(const QString& text);
// A float in general notation: 0, 100, 255, 0.5.
QString formatFloatField(float value);

// The Images page: dark, flats, synthetic, hot pixels, the stretch bounds and
// mode, the de-interlacing mode.
class ImagesPage : public SettingsPage {
  Q_OBJECT
 public:
  ImagesPage(const DialogUnits& units, QWidget* parent);

  // The values the page keeps; Load shows them. The colour and the FITS
  // scale are not the page's: they pass through unchanged.
  void setFromSettings(const ProcessingGroup& settings) { values_ = settings; }
  // The values, each stretch pair in order even while a bound is being typed.
  ProcessingGroup values() const;

  QCheckBox* darkCheck() const { return darkCheck_; }
  QCheckBox* flatCheck() const { return flatCheck_; }
  QCheckBox* synFlatCheck() const { return synFlatCheck_; }
  QCheckBox* hotCheck() const { return hotCheck_; }
  QLineEdit* fromEdit() const { return fromEdit_; }
  QLineEdit* toEdit() const { return toEdit_; }
  QComboBox* stretchList() const { return stretchList_; }
  QComboBox* deInterlaceList() const { return deInterlaceList_; }

 protected:
  void loadControls() override;
  void storeControls() override;

 private:
  QCheckBox* darkCheck_;
  QCheckBox* flatCheck_;
  QCheckBox* synFlatCheck_;
  QCheckBox* hotCheck_;
  QLineEdit* fromEdit_;
  QLineEdit* toEdit_;
  QComboBox* stretchList_;
  QComboBox* deInterlaceList_;
  ProcessingGroup values_;
  float stretchFrom_ = 0.0f;  // the working pair shown in the two edits
  float stretchTo_ = 0.0f;
};

// The "Combine" choice of the Flats and Darks pages, how the page's master is
// made, and the two kappas of sigma clipping, which are greyed for the
// other choices.
struct CombineControls {
  QComboBox* list = nullptr;
  QLineEdit* kappaLow = nullptr;
  QLineEdit* kappaHigh = nullptr;
};

// The Flats page: the gradient detection's filter size, variations and
// border, and how the master flat is combined.
class FlatsPage : public SettingsPage {
  Q_OBJECT
 public:
  FlatsPage(const DialogUnits& units, QWidget* parent);

  void setFromSettings(const FlatGroup& settings) { values_ = settings; }
  const FlatGroup& values() const { return values_; }

  QLineEdit* filterWidthEdit() const { return edits_[0]; }
  QLineEdit* filterHeightEdit() const { return edits_[1]; }
  QLineEdit* varHiEdit() const { return edits_[2]; }
  QLineEdit* varLoEdit() const { return edits_[3]; }
  QLineEdit* borderEdit() const { return edits_[4]; }
  const CombineControls& combine() const { return combine_; }

 protected:
  void loadControls() override;
  void storeControls() override;

 private:
  QLineEdit* edits_[5];
  CombineControls combine_;
  FlatGroup values_;
};

// The Darks page: the hot and cold pixel levels, the expansion, and how the
// master dark is combined.
class DarksPage : public SettingsPage {
  Q_OBJECT
 public:
  DarksPage(const DialogUnits& units, QWidget* parent);

  void setFromSettings(const DarkGroup& settings) { values_ = settings; }
  const DarkGroup& values() const { return values_; }

  QLineEdit* hotEdit() const { return edits_[0]; }
  QLineEdit* coldEdit() const { return edits_[1]; }
  QLineEdit* expandEdit() const { return edits_[2]; }
  const CombineControls& combine() const { return combine_; }

 protected:
  void loadControls() override;
  void storeControls() override;

 private:
  QLineEdit* edits_[3];
  CombineControls combine_;
  DarkGroup values_;
};

}  // namespace stelp
