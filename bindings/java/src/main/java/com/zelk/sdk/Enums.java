// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The C interface's numbers of the binding's enumerations. */
final class Enums {
  private Enums() {}

  static <E extends Enum<E>> E of(Class<E> type, long ordinal) {
    E[] values = type.getEnumConstants();
    return ordinal >= 0 && ordinal < values.length ? values[(int) ordinal] : null;
  }
}
