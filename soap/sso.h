// Service definition of the single-sign-on (Tessad) SOAP service, the input
// of soapcpp2. It is not a C++ header: the build runs
//
//     soapcpp2 -2 -z1 -L -x -w -d<build dir> -I<gsoap import dir> sso.h
//
// and compiles what that generates (message records and their readers and
// writers in soapStub.h/soapH.h/soapC.cpp, the call functions in
// soapClient.cpp, the proxy class `sso` in soapssoProxy.h, the request
// dispatcher in soapServer.cpp). The namespace table is not taken from the
// generated sso.nsmap but written once in sso_namespaces.cc, which takes the
// service namespace URI from the "service namespace" line below (the one
// place it is written).
//
// Conventions of every message: SOAP 1.2, document/literal, no SOAPAction.
// The request element is the operation name in the service namespace, the
// response element the operation name followed by "Response". Fields are
// child elements in the service namespace, in declaration order; the few
// declared with a leading colon (`:login`) are unqualified. Field kinds:
//   std::string              required, always written (empty when empty)
//   std::string*             optional, left out when null
//   std::vector<std::string> repeated, one element per item
//
// Operations are declared in the service's own order; the proxy offers one
// virtual method per operation in the same order. The proxy's endpoint
// field is `soap_endpoint_url` (the generator's name for it).
//
// The six operations with an empty response take a pointer to their record.
// Always pass one: given a null pointer the generated call returns as soon as
// the request is sent, never reads the answer (a fault goes unnoticed), and on
// a kept-alive connection the next call reads that answer instead of its own.

//gsoap sso service name:       sso
//gsoap sso service style:      document
//gsoap sso service encoding:   literal
//gsoap sso service namespace:  http://www.brelmont.com/schemas/sso/1
//gsoap sso schema elementForm: qualified

#import "stlvector.h"

#include <string>

/******************************************************************************\
 * SOAP envelope records
 *
 * Spelled out so that the layout of a decoded fault is fixed here and not
 * left to the generator's defaults. The runtime decodes the SOAP 1.1 fields
 * (unqualified) and the SOAP 1.2 fields (SOAP-ENV) of the same record.
\******************************************************************************/

struct SOAP_ENV__Header {
};

struct SOAP_ENV__Code {
  _QName SOAP_ENV__Value;                    // rewritten to this table's prefix
  struct SOAP_ENV__Code *SOAP_ENV__Subcode;  // service error codes travel here
};

struct SOAP_ENV__Reason {
  char *SOAP_ENV__Text;
};

struct SOAP_ENV__Detail {
  int __type;   // type tag of `fault`, when a child decoded as one of ours
  void *fault;  // that child
  _XML __any;   // a further child, kept as literal XML text
};

struct SOAP_ENV__Fault {
  _QName faultcode;                           // SOAP 1.1
  char *faultstring;                          // SOAP 1.1
  char *faultactor;                           // SOAP 1.1
  struct SOAP_ENV__Detail *detail;            // SOAP 1.1
  struct SOAP_ENV__Code *SOAP_ENV__Code;      // SOAP 1.2
  struct SOAP_ENV__Reason *SOAP_ENV__Reason;  // SOAP 1.2
  char *SOAP_ENV__Node;                       // SOAP 1.2
  char *SOAP_ENV__Role;                       // SOAP 1.2
  struct SOAP_ENV__Detail *SOAP_ENV__Detail;  // SOAP 1.2
};

/******************************************************************************\
 * Records shared by several messages
 *
 * These types live in no namespace (schema type names "userId-login",
 * "users-list", "applications-list"), while their fields are elements of the
 * service namespace; hence the explicit tags.
\******************************************************************************/

// One user of a listing.
struct userId_login {
  std::string userId `sso:userId`;
  std::string login `sso:login`;
};

// A listing of users, in the order the service sends them.
struct users_list {
  std::vector<struct userId_login> userIdLogin `sso:userIdLogin`;
};

// A list of application ids.
struct applications_list {
  std::vector<std::string> item `sso:item`;
};

/******************************************************************************\
 * Response records
 *
 * Request records (sso__createUser, ...) are made by soapcpp2 from the
 * parameters of each operation.
\******************************************************************************/

// Applications. These four records carry no namespace prefix: their schema
// type names are the unqualified words. The generator wraps a response
// record without prefix into a record of its own (sso__<op>Response); the
// operations below name that wrapper's member "__result", which makes it
// transparent, so the fields stand directly inside the response element.

struct registerApplicationResponse {
  std::string applicationId `sso:applicationId`;
  std::string certificate `sso:certificate`;
};

struct updateApplicationResponse {
  std::string *certificate `sso:certificate`;
};

struct getApplicationResponse {
  std::string name `sso:name`;
  std::string displayName `sso:displayName`;
  std::string version `sso:version`;
  std::string capabilities `sso:capabilities`;
  std::string *restorePasswordUrl `sso:restorePasswordUrl`;
  std::string *changePasswordUrl `sso:changePasswordUrl`;
  std::string *url `sso:url`;
};

struct listApplicationsResponse {
  struct applications_list applicationsList `sso:applicationsList`;
};

struct sso__unregisterApplicationResponse {
};

// Users.

struct sso__createUserResponse {
  std::string userId;
};

struct sso__duplicateUserResponse {
  std::string userId;
};

struct sso__deleteUserResponse {
};

struct sso__getUserResponse {
  std::string login;
  std::string applicationId;
};

struct sso__getUserIdResponse {
  std::string userId;
};

struct sso__getUserPasswordResponse {
  std::string passwordHash;
  std::string passwordHashType;
};

struct sso__changeLoginResponse {
};

struct sso__changePasswordResponse {
};

struct sso__transferOwnershipResponse {
};

struct sso__listUsersResponse {
  struct users_list usersList;
};

// Session, settings and URLs.

struct sso__getRestorePasswordUrlResponse {
  std::string *url;
};

struct sso__getChangePasswordUrlResponse {
  std::string *url;
};

struct sso__authenticateResponse {
  std::string *relayToken;
  std::string *sessionId;
  std::string *userId;
};

struct sso__closeSessionResponse {
};

struct sso__getSettingsResponse {
  int usersSessionsTimeout;  // xsd:int
  std::string relayEndpointUrl;
  std::vector<std::string> hashType;
};

/******************************************************************************\
 * Operations, in the service's order
\******************************************************************************/

int sso__registerApplication(
    std::string name,
    std::string displayName,
    std::string version,
    std::string capabilities,
    std::string *restorePasswordUrl,
    std::string *changePasswordUrl,
    std::string *url,
    struct registerApplicationResponse &__result);

int sso__listApplications(
    struct listApplicationsResponse &__result);

int sso__updateApplication(
    std::string applicationId,
    std::string *name,
    std::string *displayName,
    std::string *version,
    std::string *capabilities,
    std::string *restorePasswordUrl,
    std::string *changePasswordUrl,
    std::string *url,
    std::string *certificate,
    struct updateApplicationResponse &__result);

int sso__getApplication(
    std::string applicationId,
    struct getApplicationResponse &__result);

int sso__unregisterApplication(
    std::string applicationId,
    struct sso__unregisterApplicationResponse *result);

int sso__createUser(
    std::string login,
    std::string password,
    std::string *passwordHashType,
    std::string *userId,
    struct sso__createUserResponse &result);

// The copy's login is the one unqualified "login" of the user messages.
int sso__duplicateUser(
    std::string userId,
    std::string :login,
    struct sso__duplicateUserResponse &result);

int sso__deleteUser(
    std::string userId,
    struct sso__deleteUserResponse *result);

int sso__getUser(
    std::string userId,
    struct sso__getUserResponse &result);

int sso__getUserId(
    std::string login,
    struct sso__getUserIdResponse &result);

int sso__getUserPassword(
    std::string userId,
    struct sso__getUserPasswordResponse &result);

int sso__changeLogin(
    std::string userId,
    std::string login,
    struct sso__changeLoginResponse *result);

int sso__changePassword(
    std::string userId,
    std::string *oldPassword,
    std::string newPassword,
    std::string *newPasswordHashType,
    struct sso__changePasswordResponse *result);

int sso__transferOwnership(
    std::string userId,
    std::string applicationId,
    struct sso__transferOwnershipResponse *result);

int sso__listUsers(
    struct sso__listUsersResponse &result);

// Both request fields are unqualified.
int sso__getRestorePasswordUrl(
    std::string *:login,
    std::string *:userId,
    struct sso__getRestorePasswordUrlResponse &result);

int sso__getChangePasswordUrl(
    std::string userId,
    struct sso__getChangePasswordUrlResponse &result);

int sso__authenticate(
    std::string *login,
    std::string *userId,
    std::string *password,
    std::string *baseUrl,
    struct sso__authenticateResponse &result);

// Returns the session's user id directly instead of a response record.
int sso__verifySession(
    std::string sessionId,
    std::string &userId);

int sso__closeSession(
    std::string sessionId,
    struct sso__closeSessionResponse *result);

int sso__getSettings(
    struct sso__getSettingsResponse &result);
