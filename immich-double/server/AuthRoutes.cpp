#include "DateText.h"
#include "Routes.h"

namespace immichdouble {

namespace {

ApiResponse login(DoubleContext& context, ApiRequest& request)
{
    const QJsonObject body = request.jsonObject();
    const QJsonValue email = body.value(QLatin1String("email"));
    const QJsonValue password = body.value(QLatin1String("password"));
    if (!email.isString() || !password.isString())
        return ApiResponse::validation(!email.isString() ? QStringLiteral("email")
                                                         : QStringLiteral("password"),
                                       QStringLiteral("Invalid input: expected string"));
    const int index = context.state.userByEmail(email.toString());
    if (index < 0 || context.state.user(index).password != password.toString())
        return ApiResponse::message(401, QStringLiteral("Incorrect email or password"));
    const User& user = context.state.user(index);
    return ApiResponse::json(201, QJsonObject{
                                      {QStringLiteral("accessToken"),
                                       QString::fromLatin1(context.state.addAccessToken(index))},
                                      {QStringLiteral("userId"), user.id},
                                      {QStringLiteral("userEmail"), user.email},
                                      {QStringLiteral("name"), user.name},
                                      {QStringLiteral("isAdmin"), user.isAdmin},
                                      {QStringLiteral("profileImagePath"), QString()},
                                      {QStringLiteral("shouldChangePassword"), false},
                                      {QStringLiteral("isOnboarded"), false},
                                  });
}

QJsonObject apiKeyJson(const ApiKey& key)
{
    return QJsonObject{
        {QStringLiteral("id"), key.id},
        {QStringLiteral("name"), key.name},
        {QStringLiteral("createdAt"), isoMillis(key.createdAt)},
        {QStringLiteral("updatedAt"), isoMillis(key.createdAt)},
        {QStringLiteral("permissions"), key.permissions},
    };
}

ApiResponse createApiKey(DoubleContext& context, ApiRequest& request)
{
    const QJsonObject body = request.jsonObject();
    const QJsonValue name = body.value(QLatin1String("name"));
    const QJsonValue permissions = body.value(QLatin1String("permissions"));
    if (!name.isString())
        return ApiResponse::validation(QStringLiteral("name"),
                                       QStringLiteral("Invalid input: expected string"));
    if (!permissions.isArray() || permissions.toArray().isEmpty())
        return ApiResponse::validation(QStringLiteral("permissions"),
                                       QStringLiteral("Invalid input: expected array"));
    const ApiKey& key =
        context.state.addApiKey(request.user, name.toString(), permissions.toArray());
    return ApiResponse::json(
        201, QJsonObject{{QStringLiteral("secret"), QString::fromLatin1(key.secret)},
                         {QStringLiteral("apiKey"), apiKeyJson(key)}});
}

} // namespace

void addAuthRoutes(Router& router, DoubleContext& context)
{
    using Access = Router::Access;
    router.add("POST", QStringLiteral("/api/auth/login"), Access::Public,
               [&context](ApiRequest& request) { return login(context, request); });
    router.add("GET", QStringLiteral("/api/users/me"), Access::User,
               [&context](ApiRequest& request) {
                   return ApiResponse::json(200, userMeJson(context.state.user(request.user)));
               });
    router.add("POST", QStringLiteral("/api/api-keys"), Access::User,
               [&context](ApiRequest& request) { return createApiKey(context, request); });
    router.add("DELETE", QStringLiteral("/api/api-keys/:id"), Access::User,
               [&context](ApiRequest& request) {
                   if (!context.state.removeApiKey(request.user, request.pathArgs.value(0)))
                       return ApiResponse::message(400, QStringLiteral("API Key not found"));
                   return ApiResponse::noContent();
               });
}

} // namespace immichdouble
