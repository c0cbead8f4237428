#include <gtk/gtk.h>

#include "canvas/WebViewController.h"
#include "telemetry/IntercomPopover.h"

namespace {

// A GtkPopover goes with the window of its button, so one is made at each button the page is
// shown from; the page itself moves between them and waits in no window in between.
class GtkIntercomPresenter : public IntercomPopover::Presenter {
 public:
  GtkIntercomPresenter(IntercomPopover& owner, IntercomViewController& content) : owner_(owner), content_(content) {}
  ~GtkIntercomPresenter() override { dropPopover(); }

  bool isShown() const override { return popover_ && gtk_widget_get_visible(popover_); }

  bool isInWindow(GtkWidget* button) const override {
    GtkWidget* top = gtk_widget_get_toplevel(button);
    return top && gtk_widget_is_toplevel(top) && GTK_IS_WINDOW(top) && !GTK_IS_OFFSCREEN_WINDOW(top);
  }

  void show(GtkWidget* button) override {
    if (!popover_ || button_ != button) makePopover(button);
    gtk_popover_popup(GTK_POPOVER(popover_));
    gtk_widget_grab_focus(content_.webViewController().webView().widget());
  }

  void close() override {
    if (popover_) gtk_popover_popdown(GTK_POPOVER(popover_));
  }

  // A parked page loads and runs in no window: one drawn even off screen would make each draw
  // wait for its web process to paint, holding up the main loop while that process starts.
  void park() override {
    GtkWidget* view = content_.view();
    if (!view) return;
    if (GtkWidget* parent = gtk_widget_get_parent(view)) gtk_container_remove(GTK_CONTAINER(parent), view);
  }

 private:
  void makePopover(GtkWidget* button) {
    dropPopover();
    GtkWidget* view = content_.view();
    if (GtkWidget* parent = gtk_widget_get_parent(view)) gtk_container_remove(GTK_CONTAINER(parent), view);
    popover_ = gtk_popover_new(button);
    g_object_ref_sink(popover_);
    gtk_popover_set_position(GTK_POPOVER(popover_), GTK_POS_BOTTOM);
    gtk_container_add(GTK_CONTAINER(popover_), view);
    button_ = button;
    buttonHandler_ = g_signal_connect(button, "destroy", G_CALLBACK(+[](GtkWidget* b, gpointer self) {
                                        static_cast<GtkIntercomPresenter*>(self)->buttonDestroyed(b);
                                      }),
                                      this);
  }

  void buttonDestroyed(GtkWidget* button) {
    dropPopover();
    park();
    owner_.buttonDestroyed(button);
  }

  // Takes the page out first: a popover that goes destroys what it holds.
  void dropPopover() {
    if (button_) {
      g_signal_handler_disconnect(button_, buttonHandler_);
      button_ = nullptr;
    }
    if (!popover_) return;
    GtkWidget* view = content_.view();
    if (view && gtk_widget_get_parent(view) == popover_) gtk_container_remove(GTK_CONTAINER(popover_), view);
    gtk_widget_destroy(popover_);
    g_object_unref(popover_);
    popover_ = nullptr;
  }

  IntercomPopover& owner_;
  IntercomViewController& content_;
  GtkWidget* popover_ = nullptr;
  GtkWidget* button_ = nullptr;
  gulong buttonHandler_ = 0;
};

}  // namespace

std::unique_ptr<IntercomPopover::Presenter> IntercomPopover::makeGtkPresenter(IntercomPopover& popover,
                                                                              IntercomViewController& content) {
  return std::make_unique<GtkIntercomPresenter>(popover, content);
}
