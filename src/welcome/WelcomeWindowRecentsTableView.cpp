#include "welcome/WelcomeWindowRecentsTableView.h"

#include <gtk/gtk.h>

#include "platform/Workspace.h"
#include "welcome/WelcomeWindowRecentsRowView.h"

namespace {

void addCss(GtkWidget* widget, GtkCssProvider* css) {
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace

WelcomeWindowRecentsTableView::WelcomeWindowRecentsTableView(int width, int height)
    : scroller_(gtk_scrolled_window_new(nullptr, nullptr)), list_(gtk_list_box_new()), css_(gtk_css_provider_new()) {
  gtk_css_provider_load_from_data(css_,
                                  "list, row, scrolledwindow { background: none; padding: 0; border: none; }"
                                  " row:selected, row:hover { background: none; }",
                                  -1, nullptr);
  addCss(list_, css_);
  addCss(scroller_, css_);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller_), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller_), TRUE);
  // The keyboard goes to the rows, never to the scroller around them.
  gtk_widget_set_can_focus(scroller_, FALSE);
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_BROWSE);
  gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list_), FALSE);
  gtk_container_add(GTK_CONTAINER(scroller_), list_);
  gtk_widget_show(list_);
  container_.setFillingSubview(scroller_);
  gtk_widget_set_size_request(container_.widget(), width, height);
  gtk_widget_add_events(list_, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);

  g_signal_connect(list_, "row-selected", G_CALLBACK(+[](GtkListBox*, GtkListBoxRow*, gpointer self) {
                     auto* table = static_cast<WelcomeWindowRecentsTableView*>(self);
                     if (!table->reloading_) table->updateStates();
                   }),
                   this);
  g_signal_connect(list_, "row-activated", G_CALLBACK(+[](GtkListBox*, GtkListBoxRow*, gpointer self) {
                     auto* table = static_cast<WelcomeWindowRecentsTableView*>(self);
                     if (table->onActivate) table->onActivate();
                   }),
                   this);
  // The rows draw themselves inside windows of their own, which keep the list's own press
  // handling from seeing where a press lands: the list selects, activates and opens its menu here.
  g_signal_connect(list_, "button-press-event", G_CALLBACK(+[](GtkWidget* list, GdkEventButton* event, gpointer self) {
                     auto* table = static_cast<WelcomeWindowRecentsTableView*>(self);
                     GtkWidget* target = gtk_get_event_widget(reinterpret_cast<GdkEvent*>(event));
                     GtkWidget* ancestor = target ? gtk_widget_get_ancestor(target, GTK_TYPE_LIST_BOX_ROW) : nullptr;
                     GtkListBoxRow* row = ancestor ? GTK_LIST_BOX_ROW(ancestor)
                                                   : gtk_list_box_get_row_at_y(GTK_LIST_BOX(list), static_cast<int>(event->y));
                     std::optional<int> index;
                     if (row) index = gtk_list_box_row_get_index(row);
                     if (event->button == GDK_BUTTON_SECONDARY && event->type == GDK_BUTTON_PRESS) {
                       table->popUpContextMenu(index, event->button, event->time);
                       return gboolean(TRUE);
                     }
                     if (event->button != GDK_BUTTON_PRIMARY || !index) return gboolean(FALSE);
                     if (event->type == GDK_BUTTON_PRESS) {
                       table->selectRow(*index);
                       gtk_widget_grab_focus(GTK_WIDGET(row));
                       return gboolean(TRUE);
                     }
                     if (event->type == GDK_2BUTTON_PRESS) {
                       table->selectRow(*index);
                       if (table->onActivate) table->onActivate();
                       return gboolean(TRUE);
                     }
                     return gboolean(TRUE);
                   }),
                   this);
  g_signal_connect(list_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer self) {
                     if (event->keyval != GDK_KEY_Tab) return gboolean(FALSE);
                     return static_cast<gboolean>(static_cast<WelcomeWindowRecentsTableView*>(self)->handleTabKey());
                   }),
                   this);
}

WelcomeWindowRecentsTableView::~WelcomeWindowRecentsTableView() {
  g_signal_handlers_disconnect_by_data(list_, this);
  rows_.clear();
  g_object_unref(css_);
}

bool WelcomeWindowRecentsTableView::hasFocus() const {
  GtkWidget* top = gtk_widget_get_toplevel(container_.widget());
  if (!GTK_IS_WINDOW(top)) return false;
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(top));
  return !focus || focus == container_.widget() || gtk_widget_is_ancestor(focus, container_.widget());
}

void WelcomeWindowRecentsTableView::reloadData(const std::vector<std::filesystem::path>& rows) {
  // New rows replace the focused one: the list keeps the keyboard when it had it (or nobody had).
  bool hadFocus = hasFocus();
  auto selected = selectedRow();
  reloading_ = true;
  rows_.clear();
  GList* children = gtk_container_get_children(GTK_CONTAINER(list_));
  for (GList* it = children; it; it = it->next) gtk_widget_destroy(GTK_WIDGET(it->data));
  g_list_free(children);
  int width = gtk_widget_get_allocated_width(scroller_);
  GtkRequisition request;
  gtk_widget_get_size_request(container_.widget(), &request.width, &request.height);
  if (width <= 1) width = request.width;
  for (const auto& url : rows) {
    auto row = std::make_unique<WelcomeWindowRecentsRowView>(url, width);
    gtk_list_box_insert(GTK_LIST_BOX(list_), row->widget(), -1);
    gtk_widget_show_all(row->widget());
    rows_.push_back(std::move(row));
  }
  reloading_ = false;
  if (selected && *selected < numberOfRows()) selectRow(*selected);
  updateStates();
  if (hadFocus) grabFocus();
}

int WelcomeWindowRecentsTableView::numberOfRows() const {
  return static_cast<int>(rows_.size());
}

std::optional<int> WelcomeWindowRecentsTableView::selectedRow() const {
  GtkListBoxRow* row = gtk_list_box_get_selected_row(GTK_LIST_BOX(list_));
  if (!row) return std::nullopt;
  return gtk_list_box_row_get_index(row);
}

void WelcomeWindowRecentsTableView::selectRow(int row) {
  if (GtkListBoxRow* at = gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), row))
    gtk_list_box_select_row(GTK_LIST_BOX(list_), at);
  updateStates();
}

const WelcomeWindowRecentsRowView* WelcomeWindowRecentsTableView::rowView(int row) const {
  if (row < 0 || row >= numberOfRows()) return nullptr;
  return rows_[static_cast<std::size_t>(row)].get();
}

void WelcomeWindowRecentsTableView::updateStates() {
  auto selected = selectedRow();
  for (int i = 0; i < numberOfRows(); ++i)
    rows_[static_cast<std::size_t>(i)]->setState(selected == i ? WelcomeWindowRecentsRowState::selected
                                                               : WelcomeWindowRecentsRowState::normal);
}

bool WelcomeWindowRecentsTableView::popUpContextMenu(std::optional<int> row, unsigned button, unsigned time) {
  if (!row || *row < 0 || *row >= numberOfRows()) return false;
  selectRow(*row);
  GtkWidget* menu = gtk_menu_new();
  GtkWidget* item = gtk_menu_item_new_with_label(showInFinderTitle);
  g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                     static_cast<WelcomeWindowRecentsTableView*>(self)->showInFinder();
                   }),
                   this);
  gtk_menu_shell_insert(GTK_MENU_SHELL(menu), item, 0);
  gtk_widget_show_all(menu);
  gtk_menu_attach_to_widget(GTK_MENU(menu), list_, nullptr);
  // The menu goes once it is closed.
  g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer) {
                     g_idle_add(
                         +[](gpointer m) -> gboolean {
                           gtk_widget_destroy(GTK_WIDGET(m));
                           return G_SOURCE_REMOVE;
                         },
                         shell);
                   }),
                   nullptr);
  (void)button;
  (void)time;
  gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
  return true;
}

void WelcomeWindowRecentsTableView::showInFinder() {
  if (!recentDocuments) return;
  auto documents = recentDocuments();
  auto row = selectedRow();
  if (!row || *row < 0 || static_cast<std::size_t>(*row) >= documents.size()) return;
  Workspace::shared().activateFileViewerSelecting({documents[static_cast<std::size_t>(*row)]});
}

bool WelcomeWindowRecentsTableView::handleTabKey() {
  if (!onTabKey) return false;
  onTabKey();
  return true;
}

void WelcomeWindowRecentsTableView::grabFocus() {
  if (GtkListBoxRow* row = gtk_list_box_get_selected_row(GTK_LIST_BOX(list_)))
    gtk_widget_grab_focus(GTK_WIDGET(row));
  else
    gtk_widget_grab_focus(list_);
}
