// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/** One element of a screen, as a UI layer draws it (see {@code zelk_element_field}). */
public final class Element {
  private final ElementKind kind;
  private final String text, image, url, action, destination;
  private final int style, weight, alignment;
  private final boolean enabled, selected, fullWidth;
  private final List<Element> children;

  private Element(long screen, long element) {
    kind = Enums.of(ElementKind.class, Native.screenElementNumber(screen, element, 10));
    text = text(screen, element, 0);
    image = text(screen, element, 1);
    url = text(screen, element, 2);
    action = text(screen, element, 3);
    destination = text(screen, element, 4);
    style = (int) Native.screenElementNumber(screen, element, 11);
    weight = (int) Native.screenElementNumber(screen, element, 12);
    alignment = (int) Native.screenElementNumber(screen, element, 13);
    enabled = Native.screenElementNumber(screen, element, 14) == 1;
    selected = Native.screenElementNumber(screen, element, 15) == 1;
    fullWidth = Native.screenElementNumber(screen, element, 16) == 1;
    children = read(screen, element);
  }

  private static String text(long screen, long element, int field) {
    return Native.text(Native.screenElementText(screen, element, field));
  }

  /** The children of {@code parent} (-1: the top-level elements). */
  static List<Element> read(long screen, long parent) {
    int count = Native.screenChildCount(screen, parent);
    List<Element> list = new ArrayList<>(count);
    for (int i = 0; i < count; ++i) list.add(new Element(screen, Native.screenChild(screen, parent, i)));
    return Collections.unmodifiableList(list);
  }

  public ElementKind kind() {
    return kind;
  }

  /** The text shown, localised. */
  public String text() {
    return text;
  }

  /** A system image name, e.g. "checkmark.circle.fill"; empty for none. */
  public String image() {
    return image;
  }

  /** The logo's address; empty for none. */
  public String url() {
    return url;
  }

  /** What {@link Screen#perform} takes; empty for none. */
  public String action() {
    return action;
  }

  /** Links: the name of the screen they show. */
  public String destination() {
    return destination;
  }

  /** 0 body, 1 title, 2 subheadline, 3 caption, 4 footnote. */
  public int style() {
    return style;
  }

  /** 0 regular, 1 medium, 2 bold. */
  public int weight() {
    return weight;
  }

  /** 0 center, 1 leading, 2 trailing. */
  public int alignment() {
    return alignment;
  }

  /** False also disables every child. */
  public boolean enabled() {
    return enabled;
  }

  /** A device row the user ticked. */
  public boolean selected() {
    return selected;
  }

  /** Stretched to the available width. */
  public boolean fullWidth() {
    return fullWidth;
  }

  /** The elements of a row, column or list. */
  public List<Element> children() {
    return children;
  }
}
