// The About window's widgets: built at the first showWindow(), hidden (not destroyed) on close.
#include <gtk/gtk.h>

#include "foundation/AppInfo.h"
#include "platform/AppBundleInfo.h"
#include "platform/Resources.h"
#include "ui/RWAboutWindow.h"

struct RWAboutWindow::Widgets {
  GtkWidget* window = nullptr;
  GtkWidget* icon = nullptr;
  GtkWidget* titleLabel = nullptr;
  GtkWidget* versionLabel = nullptr;
  GtkWidget* versionClickArea = nullptr;
  GtkWidget* extraVersionInfoLabel = nullptr;
  GtkWidget* acknowledgments = nullptr;
  GtkWidget* licenseAgreement = nullptr;
  ~Widgets() {
    if (!window) return;
    gtk_widget_destroy(window);
    g_object_unref(window);
  }
};

namespace {

GtkWidget* labelWithWeight(const std::string& text, const char* weight) {
  GtkWidget* label = gtk_label_new(text.c_str());
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_weight_new(g_str_equal(weight, "thin") ? PANGO_WEIGHT_THIN
                                                                                        : PANGO_WEIGHT_ULTRALIGHT));
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
  return label;
}

GtkWidget* linkButton(const char* text) {
  GtkWidget* button = gtk_button_new_with_label(text);
  gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  return button;
}

}  // namespace

RWAboutWindow::RWAboutWindow(const AppBundleInfo& bundle) : bundle_(bundle) {}
RWAboutWindow::~RWAboutWindow() = default;

void RWAboutWindow::showWindow() {
  if (!widgets_) {
    widgets_ = std::make_unique<Widgets>();
    Widgets& w = *widgets_;
    w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(w.window);
    gtk_window_set_title(GTK_WINDOW(w.window), ("About " + bundle_.string("CFBundleName").value_or("Korvel")).c_str());
    gtk_window_set_resizable(GTK_WINDOW(w.window), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(w.window), GDK_WINDOW_TYPE_HINT_DIALOG);
    g_signal_connect(w.window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    // Escape and Ctrl+W close it, as they close any panel.
    g_signal_connect(w.window, "key-press-event", G_CALLBACK(+[](GtkWidget* window, GdkEventKey* event, gpointer) {
                       auto mods = event->state & gtk_accelerator_get_default_mod_mask();
                       bool closeKey = (event->keyval == GDK_KEY_Escape && !mods) ||
                                       (mods == GDK_CONTROL_MASK && gdk_keyval_to_lower(event->keyval) == GDK_KEY_w);
                       if (!closeKey) return gboolean(FALSE);
                       gtk_widget_hide(window);
                       return gboolean(TRUE);
                     }),
                     nullptr);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 24);
    gtk_container_add(GTK_CONTAINER(w.window), box);

    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_size(Resources::path("korvel", "svg").c_str(), 128, 128, &error);
    if (pixbuf) {
      w.icon = gtk_image_new_from_pixbuf(pixbuf);
      g_object_unref(pixbuf);
    } else {
      g_clear_error(&error);
      w.icon = gtk_image_new_from_icon_name("application-x-executable", GTK_ICON_SIZE_DIALOG);
    }
    gtk_box_pack_start(GTK_BOX(box), w.icon, FALSE, FALSE, 0);

    w.titleLabel = gtk_label_new(nullptr);
    std::string title = bundle_.string("CFBundleDisplayName").value_or("Korvel");
    char* markup = g_markup_printf_escaped("<span size=\"xx-large\" weight=\"bold\">%s</span>", title.c_str());
    gtk_label_set_markup(GTK_LABEL(w.titleLabel), markup);
    g_free(markup);
    gtk_box_pack_start(GTK_BOX(box), w.titleLabel, FALSE, FALSE, 0);

    // A label gets no clicks of its own: an event box around it does.
    w.versionClickArea = gtk_event_box_new();
    w.versionLabel = labelWithWeight(versionText_, "thin");
    gtk_container_add(GTK_CONTAINER(w.versionClickArea), w.versionLabel);
    gtk_widget_add_events(w.versionClickArea, GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(w.versionClickArea, "button-release-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer self) -> gboolean {
                       if (event->button == GDK_BUTTON_PRIMARY) static_cast<RWAboutWindow*>(self)->versionLabelClicked();
                       return FALSE;
                     }),
                     this);
    gtk_box_pack_start(GTK_BOX(box), w.versionClickArea, FALSE, FALSE, 0);

    w.extraVersionInfoLabel = labelWithWeight(AppInfo::buildName(), "ultralight");
    gtk_box_pack_start(GTK_BOX(box), w.extraVersionInfoLabel, FALSE, FALSE, 0);

    GtkWidget* links = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(links, GTK_ALIGN_CENTER);
    w.acknowledgments = linkButton("Acknowledgements");
    w.licenseAgreement = linkButton("License Agreement");
    g_signal_connect_swapped(w.acknowledgments, "clicked",
                             G_CALLBACK(+[](RWAboutWindow* self) { self->acknowledgmentsClicked(); }), this);
    g_signal_connect_swapped(w.licenseAgreement, "clicked",
                             G_CALLBACK(+[](RWAboutWindow* self) { self->licenseAgreementClicked(); }), this);
    gtk_box_pack_start(GTK_BOX(links), w.acknowledgments, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(links), w.licenseAgreement, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), links, FALSE, FALSE, 6);
    windowDidLoad();
  }
  gtk_widget_show_all(widgets_->window);
  gtk_window_present(GTK_WINDOW(widgets_->window));
}

void RWAboutWindow::windowDidLoad() { updateVersionLabel(); }

void RWAboutWindow::showVersionText() {
  if (widgets_ && widgets_->versionLabel) gtk_label_set_text(GTK_LABEL(widgets_->versionLabel), versionText_.c_str());
}

GtkWindow* RWAboutWindow::window() const { return widgets_ ? GTK_WINDOW(widgets_->window) : nullptr; }
GtkWidget* RWAboutWindow::versionLabel() const { return widgets_ ? widgets_->versionLabel : nullptr; }
GtkWidget* RWAboutWindow::versionLabelClickArea() const { return widgets_ ? widgets_->versionClickArea : nullptr; }
GtkWidget* RWAboutWindow::extraVersionInfoLabel() const { return widgets_ ? widgets_->extraVersionInfoLabel : nullptr; }
GtkWidget* RWAboutWindow::acknowledgmentsButton() const { return widgets_ ? widgets_->acknowledgments : nullptr; }
GtkWidget* RWAboutWindow::licenseAgreementButton() const { return widgets_ ? widgets_->licenseAgreement : nullptr; }
