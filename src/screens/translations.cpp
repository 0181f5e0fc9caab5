// SPDX-License-Identifier: Apache-2.0
// The library's own translations of the screens' fixed texts, for hosts that switch them on.
#include <zelk/localization.hpp>

#include "screens/resources.hpp"

#include <array>
#include <atomic>

namespace zelk {

namespace screens {

namespace {

// Every fixed text of the screens, as the key the host's localiser receives; a value goes where
// "%@" stands.
constexpr std::array<std::string_view, 44> kKeys = {
    "Start your own %@ account today",
    "We detected multiple people using this account. Please create your own account to "
    "continue.",
    "Log out of this device",
    "Create an account now",
    "Is this your account?",
    "Verify to continue",
    "Too many devices using this account.",
    "Verification complete",
    "Thank you for completing the verification. We are committed to ensuring your account's "
    "security and will alert you if we detect misuse.",
    "Log out the selected devices",
    "Continue to %@",
    "the app",
    "Verification method",
    "Choose a method from the list below. We'll send you a code to verify.",
    "Email: %@",
    "Text: %@",
    "Verify your account to continue",
    "We've sent a code to %@. Please enter the code below.",
    "you",
    "Resend in %@ seconds",
    "Resend in now",
    "Verify code",
    // The user's own devices.
    "Your devices",
    "This device",
    "Trusted",
    "Phone",
    "Tablet",
    "Computer",
    "First seen: %@",
    "Last seen: %@",
    "Sign out",
    "Sign out this device?",
    "Cancel",
    "Got an e-mail about a new device? Enter its code to sign that device out.",
    "Code from the e-mail",
    "Sign out with code",
    "Refresh",
    "You can change devices again on %@.",
    "Could not load your devices.",
    "Could not sign the device out.",
    "That code is not valid.",
    "That device is not signed in to your account.",
    "This device is no longer signed in.",
    "Too many attempts. Please try again later.",
};

using Row = std::array<std::string_view, kKeys.size()>;

// One row per language of kLibraryLanguages after English (whose texts are the keys), in the
// same order; one column per key. French puts a no-break space (U+00A0) before "?" and ":".
// The code screen's message names the channel by its raw value ("email", "text") or, without
// one, by the text for "you"; the translations read it as the means the code went by ("par
// email", "per Nachricht"), which is how the sentence runs naturally in these languages.
constexpr std::array<Row, kLibraryLanguages.size() - 1> kCatalogue = {{
    {
        // fr
        "Créez votre propre compte %@ dès aujourd’hui",
        "Nous avons détecté que plusieurs personnes utilisent ce compte. Créez votre propre "
        "compte pour continuer.",
        "Se déconnecter de cet appareil",
        "Créer un compte maintenant",
        "C’est votre compte\u00A0?",
        "Vérifier pour continuer",
        "Trop d’appareils utilisent ce compte.",
        "Vérification terminée",
        "Merci d’avoir effectué la vérification. Nous veillons à la sécurité de votre compte et "
        "vous préviendrons si nous détectons une utilisation abusive.",
        "Déconnecter les appareils sélectionnés",
        "Accéder à %@",
        "l’application",
        "Méthode de vérification",
        "Choisissez une méthode dans la liste ci-dessous. Nous vous enverrons un code de "
        "vérification.",
        "E-mail\u00A0: %@",
        "SMS\u00A0: %@",
        "Vérifiez votre compte pour continuer",
        "Nous avons envoyé un code par %@. Saisissez-le ci-dessous.",
        "message",
        "Renvoyer dans %@\u00A0secondes",
        "Renvoyer maintenant",
        "Vérifier le code",
        // The user's own devices.
        "Vos appareils",
        "Cet appareil",
        "De confiance",
        "Téléphone",
        "Tablette",
        "Ordinateur",
        "Première connexion\u00A0: %@",
        "Dernière connexion\u00A0: %@",
        "Déconnecter",
        "Déconnecter cet appareil\u00A0?",
        "Annuler",
        "Vous avez reçu un e-mail concernant un nouvel appareil\u00A0? Saisissez son code pour "
        "déconnecter cet appareil.",
        "Code reçu par e-mail",
        "Déconnecter avec le code",
        "Actualiser",
        "Vous pourrez à nouveau changer d’appareil le %@.",
        "Impossible de charger vos appareils.",
        "Impossible de déconnecter l’appareil.",
        "Ce code n’est pas valide.",
        "Cet appareil n’est pas connecté à votre compte.",
        "Cet appareil n’est plus connecté.",
        "Trop de tentatives. Réessayez plus tard.",
    },
    {
        // de
        "Erstellen Sie noch heute Ihr eigenes Konto bei %@",
        "Wir haben festgestellt, dass mehrere Personen dieses Konto nutzen. Bitte erstellen Sie "
        "ein eigenes Konto, um fortzufahren.",
        "Von diesem Gerät abmelden",
        "Jetzt Konto erstellen",
        "Ist das Ihr Konto?",
        "Bestätigen und fortfahren",
        "Zu viele Geräte nutzen dieses Konto.",
        "Bestätigung abgeschlossen",
        "Danke, dass Sie die Bestätigung abgeschlossen haben. Wir sorgen für die Sicherheit Ihres "
        "Kontos und benachrichtigen Sie, wenn wir einen Missbrauch feststellen.",
        "Ausgewählte Geräte abmelden",
        "%@ öffnen",
        "App",
        "Bestätigungsmethode",
        "Wählen Sie unten eine Methode aus. Wir senden Ihnen einen Bestätigungscode.",
        "E-Mail: %@",
        "SMS: %@",
        "Bestätigen Sie Ihr Konto, um fortzufahren",
        "Wir haben Ihnen einen Code per %@ gesendet. Bitte geben Sie ihn unten ein.",
        "Nachricht",
        "Erneut senden in %@ Sekunden",
        "Jetzt erneut senden",
        "Code bestätigen",
        // The user's own devices.
        "Ihre Geräte",
        "Dieses Gerät",
        "Vertrauenswürdig",
        "Smartphone",
        "Tablet",
        "Computer",
        "Zuerst gesehen: %@",
        "Zuletzt gesehen: %@",
        "Abmelden",
        "Dieses Gerät abmelden?",
        "Abbrechen",
        "Sie haben eine E-Mail zu einem neuen Gerät erhalten? Geben Sie den Code daraus ein, um "
        "das Gerät abzumelden.",
        "Code aus der E-Mail",
        "Mit Code abmelden",
        "Aktualisieren",
        "Sie können Geräte ab dem %@ wieder wechseln.",
        "Ihre Geräte konnten nicht geladen werden.",
        "Das Gerät konnte nicht abgemeldet werden.",
        "Dieser Code ist ungültig.",
        "Dieses Gerät ist nicht bei Ihrem Konto angemeldet.",
        "Dieses Gerät ist nicht mehr angemeldet.",
        "Zu viele Versuche. Bitte versuchen Sie es später erneut.",
    },
    {
        // es
        "Crea hoy tu propia cuenta de %@",
        "Hemos detectado que varias personas usan esta cuenta. Crea tu propia cuenta para "
        "continuar.",
        "Cerrar sesión en este dispositivo",
        "Crear una cuenta ahora",
        "¿Es tu cuenta?",
        "Verifica para continuar",
        "Demasiados dispositivos usan esta cuenta.",
        "Verificación completada",
        "Gracias por completar la verificación. Nos comprometemos a proteger tu cuenta y te "
        "avisaremos si detectamos un uso indebido.",
        "Cerrar sesión en los dispositivos seleccionados",
        "Continuar a %@",
        "la aplicación",
        "Método de verificación",
        "Elige un método de la lista. Te enviaremos un código de verificación.",
        "Correo: %@",
        "SMS: %@",
        "Verifica tu cuenta para continuar",
        "Te hemos enviado un código por %@. Introdúcelo a continuación.",
        "mensaje",
        "Reenviar en %@ segundos",
        "Reenviar ahora",
        "Verificar código",
        // The user's own devices.
        "Tus dispositivos",
        "Este dispositivo",
        "De confianza",
        "Teléfono",
        "Tableta",
        "Ordenador",
        "Visto por primera vez: %@",
        "Visto por última vez: %@",
        "Cerrar sesión",
        "¿Cerrar la sesión de este dispositivo?",
        "Cancelar",
        "¿Has recibido un correo sobre un dispositivo nuevo? Introduce su código para cerrar la "
        "sesión de ese dispositivo.",
        "Código del correo",
        "Cerrar sesión con el código",
        "Actualizar",
        "Podrás volver a cambiar de dispositivo el %@.",
        "No se han podido cargar tus dispositivos.",
        "No se ha podido cerrar la sesión del dispositivo.",
        "Ese código no es válido.",
        "Ese dispositivo no tiene la sesión iniciada en tu cuenta.",
        "Este dispositivo ya no tiene la sesión iniciada.",
        "Demasiados intentos. Inténtalo de nuevo más tarde.",
    },
    {
        // it
        "Crea oggi il tuo account %@",
        "Abbiamo rilevato che più persone usano questo account. Crea un account tuo per "
        "continuare.",
        "Esci da questo dispositivo",
        "Crea un account ora",
        "È il tuo account?",
        "Verifica per continuare",
        "Troppi dispositivi usano questo account.",
        "Verifica completata",
        "Grazie per aver completato la verifica. Ci impegniamo a proteggere il tuo account e ti "
        "avviseremo se rileviamo un uso improprio.",
        "Disconnetti i dispositivi selezionati",
        "Apri %@",
        "l’app",
        "Metodo di verifica",
        "Scegli un metodo dall’elenco qui sotto. Ti invieremo un codice di verifica.",
        "E-mail: %@",
        "SMS: %@",
        "Verifica il tuo account per continuare",
        "Ti abbiamo inviato un codice via %@. Inseriscilo qui sotto.",
        "messaggio",
        "Invia di nuovo tra %@ secondi",
        "Invia di nuovo ora",
        "Verifica codice",
        // The user's own devices.
        "I tuoi dispositivi",
        "Questo dispositivo",
        "Attendibile",
        "Telefono",
        "Tablet",
        "Computer",
        "Primo accesso: %@",
        "Ultimo accesso: %@",
        "Disconnetti",
        "Disconnettere questo dispositivo?",
        "Annulla",
        "Hai ricevuto un’e-mail su un nuovo dispositivo? Inserisci il suo codice per "
        "disconnetterlo.",
        "Codice dell’e-mail",
        "Disconnetti con il codice",
        "Aggiorna",
        "Potrai cambiare di nuovo dispositivo a partire dal giorno %@.",
        "Impossibile caricare i tuoi dispositivi.",
        "Impossibile disconnettere il dispositivo.",
        "Questo codice non è valido.",
        "Questo dispositivo non è collegato al tuo account.",
        "Questo dispositivo non è più collegato.",
        "Troppi tentativi. Riprova più tardi.",
    },
    {
        // pt
        "Crie hoje a sua própria conta %@",
        "Verificámos que várias pessoas usam esta conta. Crie a sua própria conta para "
        "continuar.",
        "Sair deste dispositivo",
        "Criar uma conta agora",
        "Esta conta é sua?",
        "Verifique para continuar",
        "Demasiados dispositivos usam esta conta.",
        "Verificação concluída",
        "Obrigado por concluir a verificação. Estamos empenhados na segurança da sua conta e "
        "vamos avisar se identificarmos uma utilização indevida.",
        "Sair dos dispositivos selecionados",
        "Continuar para %@",
        "a aplicação",
        "Método de verificação",
        "Escolha um método na lista abaixo. Enviaremos um código de verificação.",
        "E-mail: %@",
        "SMS: %@",
        "Verifique a sua conta para continuar",
        "Enviámos-lhe um código por %@. Introduza-o abaixo.",
        "mensagem",
        "Reenviar dentro de %@ segundos",
        "Reenviar agora",
        "Verificar código",
        // The user's own devices.
        "Os seus dispositivos",
        "Este dispositivo",
        "De confiança",
        "Telemóvel",
        "Tablet",
        "Computador",
        "Visto pela primeira vez: %@",
        "Visto pela última vez: %@",
        "Terminar sessão",
        "Terminar a sessão neste dispositivo?",
        "Cancelar",
        "Recebeu um e-mail sobre um novo dispositivo? Introduza o código para terminar a sessão "
        "nesse dispositivo.",
        "Código do e-mail",
        "Terminar sessão com o código",
        "Atualizar",
        "Poderá voltar a mudar de dispositivo a %@.",
        "Não foi possível carregar os seus dispositivos.",
        "Não foi possível terminar a sessão no dispositivo.",
        "Este código não é válido.",
        "Esse dispositivo não tem sessão iniciada na sua conta.",
        "Este dispositivo já não tem sessão iniciada.",
        "Demasiadas tentativas. Tente novamente mais tarde.",
    },
    {
        // ar
        "أنشئ حسابك الخاص على %@ اليوم",
        "لاحظنا أن عدة أشخاص يستخدمون هذا الحساب. يُرجى إنشاء حسابك الخاص للمتابعة.",
        "تسجيل الخروج من هذا الجهاز",
        "أنشئ حسابًا الآن",
        "هل هذا حسابك؟",
        "تحقّق للمتابعة",
        "عدد كبير جدًا من الأجهزة يستخدم هذا الحساب.",
        "اكتمل التحقق",
        "شكرًا لإكمال التحقق. نحرص على أمان حسابك وسننبّهك إذا اكتشفنا إساءة استخدام.",
        "تسجيل الخروج من الأجهزة المحددة",
        "المتابعة إلى %@",
        "التطبيق",
        "طريقة التحقق",
        "اختر طريقة من القائمة أدناه. سنرسل إليك رمزًا للتحقق.",
        "البريد الإلكتروني: %@",
        "رسالة نصية: %@",
        "تحقّق من حسابك للمتابعة",
        "أرسلنا إليك رمزًا عبر %@. يُرجى إدخاله أدناه.",
        "رسالة",
        "إعادة الإرسال بعد %@ ثانية",
        "إعادة الإرسال الآن",
        "تحقّق من الرمز",
        // The user's own devices.
        "أجهزتك",
        "هذا الجهاز",
        "موثوق",
        "هاتف",
        "جهاز لوحي",
        "حاسوب",
        "أول ظهور: %@",
        "آخر ظهور: %@",
        "تسجيل الخروج",
        "تسجيل الخروج من هذا الجهاز؟",
        "إلغاء",
        "هل وصلتك رسالة بريد إلكتروني عن جهاز جديد؟ أدخل الرمز الوارد فيها لتسجيل الخروج من ذلك "
        "الجهاز.",
        "الرمز الوارد في البريد الإلكتروني",
        "تسجيل الخروج بالرمز",
        "تحديث",
        "يمكنك تغيير الأجهزة مجددًا في %@.",
        "تعذّر تحميل أجهزتك.",
        "تعذّر تسجيل خروج الجهاز.",
        "هذا الرمز غير صالح.",
        "هذا الجهاز غير مسجّل الدخول إلى حسابك.",
        "لم يعد هذا الجهاز مسجّل الدخول.",
        "محاولات كثيرة جدًا. يُرجى المحاولة لاحقًا.",
    },
    {
        // pl
        "Załóż dziś własne konto w %@",
        "Wykryliśmy, że z tego konta korzysta kilka osób. Załóż własne konto, aby kontynuować.",
        "Wyloguj się z tego urządzenia",
        "Załóż konto teraz",
        "Czy to Twoje konto?",
        "Zweryfikuj, aby kontynuować",
        "Z tego konta korzysta zbyt wiele urządzeń.",
        "Weryfikacja zakończona",
        "Dziękujemy za przeprowadzenie weryfikacji. Dbamy o bezpieczeństwo Twojego konta i "
        "powiadomimy Cię, jeśli wykryjemy nadużycie.",
        "Wyloguj wybrane urządzenia",
        "Przejdź do %@",
        "aplikacji",
        "Metoda weryfikacji",
        "Wybierz metodę z listy poniżej. Wyślemy Ci kod weryfikacyjny.",
        "E-mail: %@",
        "SMS: %@",
        "Zweryfikuj konto, aby kontynuować",
        "Wysłaliśmy kod przez %@. Wpisz go poniżej.",
        "wiadomość",
        "Wyślij ponownie za %@ s",
        "Wyślij ponownie teraz",
        "Zweryfikuj kod",
        // The user's own devices.
        "Twoje urządzenia",
        "To urządzenie",
        "Zaufane",
        "Telefon",
        "Tablet",
        "Komputer",
        "Pierwsze logowanie: %@",
        "Ostatnie logowanie: %@",
        "Wyloguj",
        "Wylogować to urządzenie?",
        "Anuluj",
        "Otrzymano e-mail o nowym urządzeniu? Wpisz kod z wiadomości, aby wylogować to urządzenie.",
        "Kod z e-maila",
        "Wyloguj kodem",
        "Odśwież",
        "Urządzenia będzie można znów zmienić %@.",
        "Nie udało się wczytać Twoich urządzeń.",
        "Nie udało się wylogować urządzenia.",
        "Ten kod jest nieprawidłowy.",
        "To urządzenie nie jest zalogowane na Twoim koncie.",
        "To urządzenie nie jest już zalogowane.",
        "Zbyt wiele prób. Spróbuj ponownie później.",
    },
}};

// Texts the screens show that are not keys of the host's string table, so only the built-in
// translations change them: the back control a UI layer draws, the name of a device without an
// operating-system name, and the channel words of the code screen's message. One row per
// language after English, one column per key.
constexpr std::array<std::string_view, 4> kBuiltinOnlyKeys = {"Back", "Unknown", "email", "text"};
constexpr std::array<std::array<std::string_view, kBuiltinOnlyKeys.size()>,
                     kLibraryLanguages.size() - 1>
    kBuiltinOnly = {{
        {"Retour", "Inconnu", "e-mail", "SMS"},                    // fr
        {"Zurück", "Unbekannt", "E-Mail", "SMS"},                  // de
        {"Atrás", "Desconocido", "correo", "SMS"},                 // es
        {"Indietro", "Sconosciuto", "e-mail", "SMS"},              // it
        {"Voltar", "Desconhecido", "e-mail", "SMS"},               // pt
        {"رجوع", "غير معروف", "البريد الإلكتروني", "رسالة نصية"},  // ar
        {"Wstecz", "Nieznane", "e-mail", "SMS"},                   // pl
    }};

// The language of the switched-on translations, as an index of kLibraryLanguages; -1 while off.
std::atomic<int>& language() {
  static std::atomic<int> index = -1;
  return index;
}

std::size_t indexOf(std::string_view language) {
  for (std::size_t i = 0; i < kLibraryLanguages.size(); ++i) {
    if (kLibraryLanguages[i] == language) return i;
  }
  return 0;
}

std::optional<std::size_t> keyIndex(std::string_view key) {
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (kKeys[i] == key) return i;
  }
  return std::nullopt;
}

std::optional<std::string_view> translation(std::string_view key, std::size_t language) {
  const auto column = keyIndex(key);
  if (!column) return std::nullopt;
  if (language == 0) return kKeys[*column];
  return kCatalogue[language - 1][*column];
}

}  // namespace

std::optional<std::string_view> translationLanguage() {
  const int index = language().load();
  if (index < 0) return std::nullopt;
  return kLibraryLanguages[static_cast<std::size_t>(index)];
}

std::optional<std::string_view> switchedOnTranslation(std::string_view key) {
  const int index = language().load();
  if (index < 0) return std::nullopt;
  return translation(key, static_cast<std::size_t>(index));
}

std::optional<std::string_view> translatedLanguage() {
  const int index = language().load();
  if (index <= 0) return std::nullopt;
  return kLibraryLanguages[static_cast<std::size_t>(index)];
}

std::string_view builtinOnlyText(std::string_view key, std::size_t language) {
  if (language == 0) return key;
  for (std::size_t i = 0; i < kBuiltinOnlyKeys.size(); ++i) {
    if (kBuiltinOnlyKeys[i] == key) return kBuiltinOnly[language - 1][i];
  }
  return key;
}

}  // namespace screens

void useBuiltinTranslations(std::string_view locale) {
  const std::string chosen = locale.empty() ? screens::hostLocale() : std::string(locale);
  screens::language().store(static_cast<int>(screens::indexOf(screens::libraryLanguage(chosen))));
}

void stopBuiltinTranslations() {
  screens::language().store(-1);
}

std::optional<std::string> builtinTranslation(std::string_view key, std::string_view locale) {
  const auto text = screens::translation(key, screens::indexOf(screens::libraryLanguage(locale)));
  if (!text) return std::nullopt;
  return std::string(*text);
}

std::string builtinText(std::string_view text) {
  const int index = screens::language().load();
  if (index < 0) return std::string(text);
  return std::string(screens::builtinOnlyText(text, static_cast<std::size_t>(index)));
}

bool builtinTranslationsRightToLeft() {
  const auto language = screens::translationLanguage();
  return language && screens::isRightToLeft(*language);
}

std::vector<std::string_view> screenTextKeys() {
  return {screens::kKeys.begin(), screens::kKeys.end()};
}

}  // namespace zelk
