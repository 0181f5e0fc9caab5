// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The kinds of element a screen is made of. */
public enum ElementKind {
  LOGO,
  TEXT,
  BUTTON,
  LINK,
  PROGRESS,
  SPACER,
  DIVIDER,
  IMAGE,
  BADGE,
  ROW,
  COLUMN,
  LIST,
  CODE_INPUT;
}
