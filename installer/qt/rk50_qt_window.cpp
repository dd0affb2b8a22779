#include "installer/qt/rk50_qt_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QToolButton>
#include <QMetaObject>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/ux_common.h"
#include "installer/rk50_services.h"
#include "installer/rk50_signals.h"

// Read by ThreadSanitizer only: Qt's own worker threads (the image conversion
// pool) synchronise through atomics in the uninstrumented Qt libraries.
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Core.so\nrace:libQt6Gui.so\n"; }

namespace rk50 {

namespace {

QString to_q(const std::string& s) {
  std::u16string u = ux::text_to_utf16(s);
  return QString::fromUtf16(u.data(), qsizetype(u.size()));
}

std::string from_q(const QString& s) {
  return ux::utf16_to_text(std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size())));
}

constexpr int font_pixel_size = 15;
constexpr int edit_label_gap = 3;

QFont window_font(bool bold) {
  QFont f;
  f.setFamilies({"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Droid Sans Fallback", "DejaVu Sans"});
  f.setPixelSize(font_pixel_size);
  if (bold) f.setWeight(QFont::DemiBold);
  return f;
}

void place(QWidget* w, TControl c) {
  const TControlRect& r = layout_of(c);
  w->setGeometry(r.left, r.top, r.width, r.height);
  w->setObjectName(control_name(c));
}

}  // namespace

QPixmap product_picture() {
  QPixmap pm(144, 144);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 144, 144);
  g.setColorAt(0, QColor(0x2f, 0x80, 0xed));
  g.setColorAt(1, QColor(0x1b, 0x4f, 0xa8));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(4, 4, 136, 136), 28, 28);
  // A cloud with a down arrow: the client's private cloud drive.
  p.setBrush(QColor(255, 255, 255, 235));
  QPainterPath cloud;
  cloud.addEllipse(QRectF(26, 58, 44, 40));
  cloud.addEllipse(QRectF(48, 38, 52, 52));
  cloud.addEllipse(QRectF(80, 58, 40, 40));
  cloud.addRoundedRect(QRectF(40, 72, 70, 28), 14, 14);
  p.drawPath(cloud.simplified());
  p.setBrush(QColor(0x1f, 0x5f, 0xc8));
  QPolygonF arrow;
  arrow << QPointF(66, 56) << QPointF(80, 56) << QPointF(80, 72) << QPointF(90, 72) << QPointF(73, 90)
        << QPointF(56, 72) << QPointF(66, 72);
  p.drawPolygon(arrow);
  p.setBrush(QColor(255, 255, 255, 235));
  p.drawRoundedRect(QRectF(40, 110, 64, 8), 4, 4);
  return pm;
}

void apply_application_look() {
  if (QStyle* fusion = QStyleFactory::create("Fusion")) QApplication::setStyle(fusion);
  QApplication::setFont(window_font(false));
}

TQtMainWindow::TQtMainWindow(IInstallerServices& services, TStartOptions options, QWidget* parent)
    : QDialog(parent) {
  setObjectName("main_form");
  setFixedSize(form_client_width, form_client_height);
  setFont(window_font(false));
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);

  image1_ = new QLabel(this);
  place(image1_, TControl::Image1);
  image1_->setPixmap(product_picture());
  image1_->setScaledContents(true);
  image1_->setAlignment(Qt::AlignCenter);

  label1_ = new QLabel(this);
  place(label1_, TControl::Label1);
  label1_->setAlignment(Qt::AlignCenter);
  label1_->setWordWrap(true);
  label1_->setFont(window_font(true));

  edit1_ = new QLineEdit(this);
  place(edit1_, TControl::LabeledEdit1);
  edit_label_ = new QLabel(this);
  edit_label_->setObjectName(control_name(TControl::LabeledEdit1Label));
  {
    const TControlRect& r = layout_of(TControl::LabeledEdit1);
    int h = font_pixel_size + 6;
    edit_label_->setGeometry(r.left, r.top - h - edit_label_gap, r.width, h);
  }
  edit_label_->setBuddy(edit1_);

  speed_button1_ = new QToolButton(this);
  place(speed_button1_, TControl::SpeedButton1);
  speed_button1_->setText("...");
  speed_button1_->setFocusPolicy(Qt::TabFocus);

  progress_bar1_ = new QProgressBar(this);
  place(progress_bar1_, TControl::ProgressBar1);
  progress_bar1_->setRange(0, 100);
  progress_bar1_->setValue(0);
  progress_bar1_->setTextVisible(false);

  label2_ = new QLabel(this);
  place(label2_, TControl::Label2);
  label2_->setAlignment(Qt::AlignCenter);
  label2_->setWordWrap(true);

  button1_ = new QPushButton(this);
  place(button1_, TControl::Button1);
  button1_->setFont(window_font(true));
  button1_->setDefault(true);
  button1_->setAutoDefault(true);

  form_ = std::make_unique<Tmain_form>(*this, services, std::move(options));
  connect(button1_, &QPushButton::clicked, this, [this] { form_->Button1Click(); });
  connect(speed_button1_, &QToolButton::clicked, this, [this] { form_->SpeedButton1Click(); });
  form_->FormCreate();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(form_client_width / 2, form_client_height / 2));
  }
}

TQtMainWindow::~TQtMainWindow() { destroy_form(); }

void TQtMainWindow::destroy_form() {
  if (destroyed_) return;
  destroyed_ = true;
  form_->FormDestroy();
}

QWidget* TQtMainWindow::control(TControl c) {
  switch (c) {
    case TControl::Form: return this;
    case TControl::Image1: return image1_;
    case TControl::Label1: return label1_;
    case TControl::LabeledEdit1: return edit1_;
    case TControl::LabeledEdit1Label: return edit_label_;
    case TControl::SpeedButton1: return speed_button1_;
    case TControl::ProgressBar1: return progress_bar1_;
    case TControl::Label2: return label2_;
    case TControl::Button1: return button1_;
  }
  return nullptr;
}

void TQtMainWindow::set_caption(const std::string& text) { setWindowTitle(to_q(text)); }

void TQtMainWindow::set_text(TControl c, const std::string& text) {
  QString q = to_q(text);
  switch (c) {
    case TControl::Label1: label1_->setText(q); break;
    case TControl::Label2: label2_->setText(q); break;
    case TControl::Button1: button1_->setText(q); break;
    case TControl::LabeledEdit1: edit1_->setText(q); break;
    case TControl::LabeledEdit1Label: edit_label_->setText(q); break;
    case TControl::Form: setWindowTitle(q); break;
    default: break;
  }
}

std::string TQtMainWindow::edit_text() { return from_q(edit1_->text()); }

void TQtMainWindow::set_visible(TControl c, bool visible) {
  if (QWidget* w = control(c)) w->setVisible(visible);
  if (c == TControl::LabeledEdit1) edit_label_->setVisible(visible);
}

void TQtMainWindow::set_button_enabled(bool enabled) { button1_->setEnabled(enabled); }

void TQtMainWindow::set_progress_range(int min, int max) { progress_bar1_->setRange(min, max); }

void TQtMainWindow::set_progress_position(int pos) { progress_bar1_->setValue(pos); }

void TQtMainWindow::set_left(TControl c, int left) {
  QWidget* w = control(c);
  if (w && w != this) w->move(left, w->y());
}

int TQtMainWindow::width(TControl c) {
  if (c == TControl::Form) return QDialog::width();
  QWidget* w = control(c);
  return w ? w->width() : 0;
}

bool TQtMainWindow::confirm(const std::string& question) {
  return QMessageBox::question(this, windowTitle(), to_q(question), QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

bool TQtMainWindow::pick_folder(const std::string& start_dir, std::string& chosen) {
  // A folder not created yet opens the picker at its nearest existing parent.
  QString start = QDir::cleanPath(to_q(start_dir));
  while (!start.isEmpty() && !QFileInfo(start).isDir()) {
    QString parent = QFileInfo(start).path();
    if (parent == start) break;
    start = parent;
  }
  QString dir = QFileDialog::getExistingDirectory(this, edit_label_->text(), start,
                                                  QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return false;
  chosen = from_q(dir);
  return true;
}

void TQtMainWindow::show_error(const std::string& text) {
  QMessageBox::critical(this, windowTitle(), to_q(text));
}

// The window stays silent about what the console lists as notes.
void TQtMainWindow::show_note(const std::string& /*text*/) {}

void TQtMainWindow::close_window() { close(); }

void TQtMainWindow::terminate_app() {
  hide();
  QCoreApplication::quit();
}

void TQtMainWindow::process_messages() { QCoreApplication::processEvents(); }

void TQtMainWindow::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void TQtMainWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!shown_) {
    shown_ = true;
    form_->FormShow();
  }
}

void TQtMainWindow::closeEvent(QCloseEvent* event) {
  bool can_close = true;
  form_->FormCloseQuery(can_close);
  if (!can_close) {
    event->ignore();
    return;
  }
  form_->FormClose();
  event->accept();
  QCoreApplication::quit();
}

// Escape does not close the window: a download or an installation in
// progress ends only through the close box or the abort confirmation.
void TQtMainWindow::reject() {}

TCloseOnSignal::TCloseOnSignal(QWidget& window) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
  catcher_ = std::make_unique<TSignalCatcher>(pipe_[1]);
  if (pipe_[0] < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, &window, [this, &window] {
    char buf[64];
    while (::read(pipe_[0], buf, sizeof buf) > 0) {
    }
    if (TSignalCatcher::end_requested() || TSignalCatcher::take_interrupt()) window.close();
  });
}

TCloseOnSignal::~TCloseOnSignal() {
  notifier_.reset();
  catcher_.reset();
  for (int f : pipe_) {
    if (f >= 0) ::close(f);
  }
}

int run_qt_window(int& argc, char** argv, const TFrontendOptions& options, IInstallerServices& services) {
  QApplication app(argc, argv);
  apply_application_look();
  int rc = 0;
  {
    TQtMainWindow window(services, options.start);
    TCloseOnSignal close_on_signal(window);
    window.show();
    if (!options.dir.empty()) window.set_text(TControl::LabeledEdit1, options.dir);
    app.exec();
    window.destroy_form();
    QCoreApplication::processEvents();
    const TRunOutcome outcome = window.form().outcome();
    rc = outcome == TRunOutcome::failed || outcome == TRunOutcome::aborted ? 1 : 0;
    if (rc != 0 && !window.form().error_text().empty())
      std::fprintf(stderr, "%s\n", ux::text_to_os(window.form().error_text()).c_str());
  }
  return rc;
}

int render_screenshot(const std::string& path, const TStartOptions& start) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "qlyn-setup";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  apply_application_look();
  TProductionServices services;
  TQtMainWindow window(services, start);
  window.show();
  QCoreApplication::processEvents();
  QPixmap shot = window.grab();
  window.hide();
  window.destroy_form();
  if (!shot.save(to_q(path), "PNG")) {
    std::fprintf(stderr, "qlyn-setup: cannot write %s\n", ux::text_to_os(path).c_str());
    return 1;
  }
  return 0;
}

}  // namespace rk50
