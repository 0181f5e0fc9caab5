// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.util.Map;

/** The JSON text of metadata: an object of texts. */
final class Json {
  private Json() {}

  static String object(Map<String, String> members) {
    if (members == null) return null;
    StringBuilder out = new StringBuilder("{");
    for (Map.Entry<String, String> member : members.entrySet()) {
      if (out.length() > 1) out.append(',');
      string(out, member.getKey());
      out.append(':');
      string(out, member.getValue());
    }
    return out.append('}').toString();
  }

  private static void string(StringBuilder out, String text) {
    if (text == null) {
      out.append("null");
      return;
    }
    out.append('"');
    for (int i = 0; i < text.length(); ++i) {
      char c = text.charAt(i);
      if (c == '"' || c == '\\') {
        out.append('\\').append(c);
      } else if (c < 0x20) {
        out.append(String.format("\\u%04x", (int) c));
      } else {
        out.append(c);
      }
    }
    out.append('"');
  }
}
